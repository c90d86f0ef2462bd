# A redirect less than a minute after the one before continues the run, and the third of a
# run counts as a failed attempt; one a minute or more after starts a new run.
login H u p
tick 50
agent LOGIN sess=0x51 result=0
tick 50                           => notify ONLINE
agent REDIRECT "A"
tick 50                           => notify REDIRECT "A"
tick 50                           => open A
agent LOGIN sess=0x52 result=0
tick 50                           => notify ONLINE
agent REDIRECT "H"
tick 50                           => notify REDIRECT "H"
tick 50                           => open H
agent LOGIN sess=0x53 result=0
tick 50                           => notify ONLINE
wait 30000
agent WAKE
tick 50                           => notify WAKE
agent REDIRECT "A"
tick at=61299                     => notify REDIRECT "A"
wait 14000                        => no open
wait 2000                         => open A
agent LOGIN sess=0x54 result=0
tick 50                           => notify ONLINE
wait 30000
agent WAKE
tick 50                           => notify WAKE
agent REDIRECT "H"
tick at=121299                    => notify REDIRECT "H"
tick 50                           => open H
agent LOGIN sess=0x55 result=0
tick 50                           => notify ONLINE
agent REDIRECT "A"
tick 50                           => notify REDIRECT "A"
tick 50                           => open A
agent LOGIN sess=0x56 result=0
tick 50                           => notify ONLINE
agent REDIRECT "H"
tick 50                           => notify REDIRECT "H"
wait 14000                        => no open
