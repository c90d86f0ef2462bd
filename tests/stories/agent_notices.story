# Error, time and wake frames reach the application; a frame of a type the device does not
# know is dropped. An error from the agent leaves the link as it is.
login H u p
tick 50
agent LOGIN sess=0x55 result=0
tick 50                           => notify ONLINE
agent ERROR code=-7
tick 50                           => error -7; no close
agent TIME "2026-12-07 10:00:00"
tick 50                           => notify TIME "2026-12-07 10:00:00"
agent WAKE 0102030405
tick 50                           => notify WAKE
agent 9 0102
tick 50                           => no event
state                             => state Logined
