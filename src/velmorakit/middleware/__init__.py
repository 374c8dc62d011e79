"""Extension modules of the gesture service and its computing engine."""
