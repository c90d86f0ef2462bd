# Frames too short for their type's layout, or whose peer section overruns the payload,
# are not acted on; the stream stays in step and the frame after them is handled.
login H u p
tick 50
agent LOGIN sess=0x55 result=0
tick 50                           => notify ONLINE
agent STR "x" peer=p peersize=40 len=8
agent DATA 78 peer=x flags=3 len=7
agent STR peer=p len=2
agent ERROR code=7 len=2
agent REDIRECT "A" len=2
agent TIME "ab" len=2
agent LOGIN len=3
agent REDIRECT len=0
agent STR peer=pq
agent 9 0102
wait 500                          => no event; no close
agent WAKE
tick 50                           => notify WAKE
