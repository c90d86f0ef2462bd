# The clock wraps after 2^32 - 1 ms; across the wrap a timer counts one millisecond less
# than the modular difference, as the library always has: from 0xFFFFFFF0, 29984 is 29999 ms
# on and 29985 is 30000. (The clock may also be set back: the second attempt starts before
# the wrap again.)
net check=0
tick at=0xFFFFFFF0
login H u p
tick at=0xFFFFFFFA                => open H
tick at=29984                     => no error
tick at=30984                     => close; error -9
logout
tick at=0xFFFFFFF0
login H u p
tick at=0xFFFFFFFA                => open H
tick at=29985                     => close; error -9
