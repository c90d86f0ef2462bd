# Every frame type, byte for byte at the offsets of docs/protocol.md: the device's frames
# pinned where they are sent, the agent's written out in hex (a quoted text comes with its
# NUL, so "\0"*63 is 64 zeros). Session 4097 is 01100000, peer "abcd" has length 5, padded to 8.
login H dev-1 5820
tick 50                           => sent LOGIN at=0 0000000002000001 at=8 "dev-1" at=136 "5820" at=200 "1.3.0"
# A login reply that names another address (result at data offset 0, address at 4).
agent raw 0000000002008400000000004100
agent raw "\0"*125 join=1
tick 50                           => notify REDIRECT "A"; close; no notify ONLINE
# Accepted, session 4097, no address, time text at data offset 68.
tick 50                           => open A; sent LOGIN at=0 00000000020000016465
agent raw 011000000200840000000000
agent raw "\0"*63 join=1
agent raw "2024-05-01 12:00:00" join=1
agent raw "\0"*43 join=1
tick 50                           => notify ONLINE; notify TIME "2024-05-01 12:00:00"
agent raw 011000000100040091010000
tick 50                           => error 401
agent raw 0110000005004000
agent raw "2024-05-01 12:00:00" join=1
agent raw "\0"*43 join=1
tick 50                           => notify TIME "2024-05-01 12:00:00"
agent raw 0110000006011000000005006162636400000000deadbeef
tick 50                           => data peer=abcd size=4 deadbeef
agent raw 0110000006000200aabb
tick 50                           => data peer=null size=2 aabb
agent raw 0110000007010f00000005006162636400000000686900
agent raw 011000000701070000000000686900
tick 50                           => str peer=abcd "hi"
tick 50                           => str peer="" "hi"
agent raw 011000000e000000
tick 50                           => notify WAKE
send DATA 00010203040506070809 peer=abcd => 10; sent DATA at=0 011000000601160000000500616263640000000000010203040506070809
send DATA 0001                    => 2; sent DATA at=0 01100000060002000001
send STR "hi" peer=app            => 3; sent STR at=0 0110000007010b000000040061707000 at=16 "hi"
wait 61000                        => sent KEEPALIVE at=0 0110000000000000
agent raw 0110000004004000
agent raw "10.0.0.2:8800" join=1
agent raw "\0"*49 join=1
tick 50                           => notify REDIRECT "10.0.0.2:8800"; sent LOGOUT at=0 0110000003000000; close
