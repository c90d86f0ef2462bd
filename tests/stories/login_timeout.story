# A login not completed within 30 s is given up, and the next attempt waits out the
# back-off. The first tick restarts the timers of logins made before it, and every frame
# from the agent postpones the timeout.
net check=0
login H u p
tick 50                           => open H; no sent
tick at=31049                     => no error; no close
tick at=32049                     => close; error -9; no notify OFFLINE
wait 15000                        => open H
tick at=76049                     => no error
tick at=77049                     => close; error -9
wait 30000                        => open H
agent WAKE sess=0
tick 50                           => notify WAKE
wait 29950                        => no error
tick 1000                         => error -9
logout
login H u p
tick 50                           => open H
wait 29900                        => no error
tick 100                          => close; error -9
