needs LINKS==1
# With one link slot, a second user finds no slot, and a handle that names a second slot is
# refused.
login H a p                       => 1
login H b p                       => -4
send DATA 01 id=0x10000           => -2
send DATA 01 id=0x10001           => -2
logout 0x10000                    => no anything
state                             => state Alloc
