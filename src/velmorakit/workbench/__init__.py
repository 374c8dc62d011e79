"""The workbench: command line, recordings, simulation, shaping, training, evaluation, plots.

The gesture service on a device never imports this package; it needs the `app` extra's
packages only for progress bars and pictures.
"""
