# A read that claims more bytes than it was offered counts only the room it had.
login H u p
tick 50
agent LOGIN sess=0x55 result=0
tick 50                     => notify ONLINE
net over=100
agent DATA peer=p size=BUF-16
tick 50                     => data peer=p size=BUF-16
agent WAKE
tick 50                     => notify WAKE
