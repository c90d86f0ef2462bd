# A frame longer than the receive buffer can never be held: its bytes are thrown away as
# they arrive, over as many reads as they take (down to the last one byte), and the frame
# after it is read as usual, also when its header comes a byte at a time.
app echo=3
login H u p
tick 50
agent LOGIN sess=0x55 result=0
tick 50                           => notify ONLINE
agent DATA peer=p size=BUF split=100
agent STR "after" peer=p join=1
wait 3000                         => no data; str peer=p "after"; sent STR peer=p "after"
agent DATA size=BUF cut=BUF-92
tick 50                           => no event
agent close
tick 50                           => close; notify OFFLINE
wait 15000                        => open H
agent LOGIN sess=0x56 result=0
agent WAKE sess=0x56 join=1
tick 50                           => notify ONLINE
tick 50                           => notify WAKE
agent DATA size=BUF split=BUF+7
agent WAKE sess=0x56 split=1
wait 1000                         => notify WAKE
