# Texts that fill their fields without a NUL are cut to the field less one byte; a peer
# name and a string message are cut at their last byte. A peer section of its prefix alone
# names the empty peer.
login H u p
tick 50
agent LOGIN sess=0x55 result=0 time="t"*64
tick 50                           => notify ONLINE; notify TIME "t"*63
agent TIME "x"*64
tick 50                           => notify TIME "x"*63
agent STR "hello" peer=pq peersize=2
tick 50                           => str peer=p "hello"
agent STR 616263 peer=p
tick 50                           => str peer=p "ab"
agent DATA 01 peer="" peersize=0
tick 50                           => data peer="" size=1 01
agent REDIRECT "r"*64
tick 50                           => notify REDIRECT "r"*63; close
tick 50                           => open "r"*63
agent LOGIN result=0 addr="a"*64
tick 50                           => notify REDIRECT "a"*63; close
