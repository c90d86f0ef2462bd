# Words the runner's line left out: a "no" that only they could decide fails the story.
login H u p
tick 50
agent LOGIN sess=0x55 result=0
tick 50                        => notify ONLINE
agent DATA peer=p size=2000
tick 50                        => no data peer=p 01
