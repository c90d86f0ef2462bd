# A link that loses the agent it last logged in on tries that agent again first, also
# after a refusal there; when an attempt there times out, it goes back home and forgets
# that agent.
login H u p
tick 50                           => open H
agent LOGIN sess=0x55 result=0
tick 50                           => notify ONLINE
agent REDIRECT "A"
tick 50                           => notify REDIRECT "A"; close
tick 50                           => open A
agent LOGIN sess=0x56 result=0
tick 50                           => notify ONLINE
agent close
tick 50                           => close; notify OFFLINE
wait 15000                        => open A; no open H
agent LOGIN result=-7
tick 50                           => error -7; close
net check=0
wait 30000                        => open A; no open H
wait 31000                        => close; error -9
net check=1
wait 45000                        => open H; no open A
agent LOGIN result=-7
tick 50                           => error -7; close
wait 60000                        => open H; no open A
