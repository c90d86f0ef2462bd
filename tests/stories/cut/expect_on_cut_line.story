# Words the runner's line left out: an expectation that only they could meet fails the story.
login H u p
tick 50
agent LOGIN sess=0x55 result=0
tick 50                        => notify ONLINE
agent DATA peer=p size=2000
tick 50                        => no data link=1; data link=0 peer=p 01
