"""A label encoder with a "no gesture" class that the gesture service never reports.

A model trained to recognise motion that is no gesture (turning the sensor, picking it up)
has an extra class, `NO_GESTURE`. The engine decodes the winning class with the encoder and
takes element [0][0] of the result as the label; the worker drops a result whose label is
None before it tests any threshold, so that class must decode to None. The engine also reads
the label's text from between the first two apostrophes of the rendered result, so every
decoded row carries the class name in a second column: `[[None '(no gesture)']]` renders
with a name in apostrophes (which names no direction, so the displacement is 0), and
`[['up' 'up']]` still gives the label `up`.
"""

NO_GESTURE = "(no gesture)"
# Labels of recorded motion that is no gesture, learnt as `NO_GESTURE`.
NON_GESTURE_WORDS = frozenset(
    {"rest", "idle", "none", "null", "noise", "nothing", "background", "no gesture"}
)


class RejectingEncoder:
    """Wraps a fitted one-hot label encoder whose categories include `NO_GESTURE`."""

    def __init__(self, encoder, rejected: str = NO_GESTURE):
        self.encoder = encoder
        self.rejected = rejected

    @property
    def categories_(self):
        return self.encoder.categories_

    def inverse_transform(self, indicator):
        """One row per indicator row: the label (None for "no gesture") and the class name."""
        import numpy as np

        decoded = np.asarray(self.encoder.inverse_transform(indicator))[:, :1]
        names = decoded.astype(str).astype(object)  # plain str, rendered as 'up'
        labels = names.copy()
        labels[names == self.rejected] = None
        return np.concatenate([labels, names], axis=1)


def decoded_name(label) -> str:
    """A decoded label as a class name: None is what `NO_GESTURE` decodes to."""
    return NO_GESTURE if label is None else str(label)
