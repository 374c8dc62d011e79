"""Live sensor sources: serial ports, UDP, standard input and file replay.

Each source yields 50 Hz rows [ax, ay, az, vx, vy, vz] in m/s² and m/s (`decoding`) and runs
as the producer process that feeds the gesture service's sensor pipe (`process`, `pump`).
"""
