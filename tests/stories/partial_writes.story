# A socket that takes a few bytes per write: the queue keeps the rest and offers it again on
# every tick, so frames go out whole and in order.
login H abcdefghij p
tick 50
agent LOGIN sess=0x55 result=0
tick 50                           => notify ONLINE
net send=5
send DATA 0102030405060708 peer=pp  => 8
send STR "hi" peer=p              => 3
wait 100                          => no sent
wait 250                          => sent DATA peer=pp size=8 0102030405060708; sent STR peer=p "hi"
net send=0
send DATA 01                      => 1
wait 200                          => no sent
state                             => state queued=9
net send=more
tick 50                           => sent DATA size=1 01
state                             => state queued=0
net send=1
send DATA 07                      => 1
wait 500                          => sent DATA size=1 07
