# A read that claims more bytes than it was offered counts only the room it had, with the
# buffer empty or partly held.
login H u p
tick 50
agent LOGIN sess=0x55 result=0
tick 50                     => notify ONLINE
net over=100
agent DATA peer=p size=BUF-16
tick 50                     => data peer=p size=BUF-16
agent WAKE
tick 50                     => notify WAKE
agent DATA 0102 peer=p size=BUF-16 split=BUF-10
tick 50                           => no data
tick 50                           => data peer=p size=BUF-16
