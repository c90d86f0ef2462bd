# Redirects less than a minute apart form a run; from the third of a run on, each counts as
# a failed attempt and the link backs off. A minute without a redirect starts a new run.
login H u p
tick 50                           => open H
agent LOGIN result=0 addr="A"
tick 50                           => notify REDIRECT "A"
tick 50                           => open A
agent LOGIN result=0 addr="H"
tick 50                           => notify REDIRECT "H"
tick 50                           => open H
agent LOGIN result=0 addr="A"
tick 50                           => notify REDIRECT "A"
wait 14700                        => no open
tick 50                           => open A
agent LOGIN sess=0x55 result=0
tick 50                           => notify ONLINE
wait 60000
agent REDIRECT "H"
tick 50                           => notify REDIRECT "H"
tick 50                           => open H
