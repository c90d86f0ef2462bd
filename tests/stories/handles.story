needs LINKS==2
# A handle names a slot and its allocation: the lowest free slot is taken, a full table
# refuses, and a handle dies with its logout. A free slot takes no frame.
send DATA 01 id=0x10000        => -5
login H a p                    => 1
login H b p                    => 0x10002
login H c p                    => -4
logout 1
login H c p                    => 4
send DATA 01 id=1              => -2
send DATA 01 id=0x20000        => -2
send DATA 01 id=-2             => -2
logout 0x7FFF0004              => no close
send DATA 01 id=0x10002        => -5
