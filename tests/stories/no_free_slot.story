# With every link in use, in any configuration (up to 12 links), a login of another user
# finds no free slot; a handle that names a slot past the last (0x10000, 0x20000 and 0xC0000
# in the configurations of 1, 2 and 12 links) is refused, and so is one far beyond.
login H u1 p
login H u2 p
login H u3 p
login H u4 p
login H u5 p
login H u6 p
login H u7 p
login H u8 p
login H u9 p
login H u10 p
login H u11 p
login H u12 p
login H u13 p                     => -4
send DATA 01 id=0x10000           => -2
send DATA 01 id=0x20000           => -2
send DATA 01 id=0xC0000           => -2
logout 0x7FFF0001                 => no anything
