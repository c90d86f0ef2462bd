# A logged-in link sends a keepalive in every per-second pass once 60 s pass without a
# frame from the agent, and drops the connection at 90 s, to the millisecond.
login H u p
tick 50                           => open H
agent LOGIN sess=0x55 result=0
tick 50                           => notify ONLINE
tick at=61099                     => no sent
tick at=61100                     => no sent
tick at=62099                     => sent KEEPALIVE sess=0x55
tick at=91099                     => sent KEEPALIVE; no close
tick at=92100                     => sent KEEPALIVE; close; notify OFFLINE; open H; sent LOGIN
tick 1000                         => no error
agent LOGIN sess=0x56 result=0
tick 50                           => notify ONLINE
tick at=153150                    => sent KEEPALIVE sess=0x56
tick at=182150                    => sent KEEPALIVE; no close
tick at=183150                    => close; notify OFFLINE
