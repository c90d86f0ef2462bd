# Messages from peers reach the application with their peer names, and the echoes go back
# to the same peers with the same bytes, stamped with the session.
app echo=3
login H u p
tick 50
agent LOGIN sess=0x55 result=0
tick 50                     => notify ONLINE
agent DATA 00010a0dfeff peer=peer-1
tick 50                     => data peer=peer-1 size=6 00010a0dfeff; sent DATA sess=0x55 peer=peer-1 size=6 00010a0dfeff
agent STR "hello" peer=p2
tick 50                     => str peer=p2 "hello"; sent STR sess=0x55 peer=p2 "hello"
agent DATA 01
tick 50                     => data peer=null size=1 01; sent DATA size=1 01
agent DATA peer=p
tick 50                           => data peer=p size=0; sent DATA peer=p
agent raw 55000000060109000000020070000000ab
tick 50                           => data peer=p size=1 ab; sent DATA peer=p size=1 ab
