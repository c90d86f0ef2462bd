# A frame that arrives a few bytes per read, or one byte per read, is handled once it is
# whole.
app echo=3
login H u p
tick 50
agent LOGIN sess=0x55 result=0
tick 50                     => notify ONLINE
agent STR "split" peer=p split=3
wait 350                    => no str
tick 50                     => str peer=p "split"; sent STR peer=p "split"
agent DATA 0102 peer=p split=1
wait 850                          => no data
tick 50                           => data peer=p size=2 0102
