# The once-a-second pass runs once per call however late the call is, and never catches up:
# a back-off of 15 passes takes 15 calls a second or more apart.
login H u p
tick 50                           => open H
agent LOGIN result=-1
tick 50                           => error -1; close
tick 60000                        => no open
wait 13000                        => no open
tick 999                          => no open
tick 1                            => open H
