# The send queue takes a frame whole or not at all: a frame that fills it exactly is taken,
# one byte more is refused, and sizes no queue can hold are refused without being read. A
# frame that ends where the queue ends writes nothing past it (into the bytes received).
login H u p
tick 50
agent LOGIN sess=0x55 result=0
tick 50                           => notify ONLINE
net send=0
send DATA size=BUF-8              => BUF-8
send KEEPALIVE                    => -6
state                             => state queued=BUF
net send=all
tick 50                           => sent DATA size=BUF-8
send DATA peer=p size=BUF-15      => -6
send DATA peer=p size=BUF-16      => BUF-16; sent DATA peer=p size=BUF-16
send DATA size=0x7FFFFFFF         => -6
send DATA size=-1                 => -6
send DATA 01 peer=p peersize=BUF+1 => -6
send DATA 01 peer=p peersize=-1   => -6
send DATA 01 peersize=5           => 1; sent DATA size=1 01
send DATA 01 peer=p peersize=0    => 1; sent DATA size=1 01
agent DATA 01 peer=p split=5
tick 50                           => no data
send DATA peer=x peersize=BUF-12  => 0; sent DATA peer=x
wait 200                          => data peer=p size=1 01
