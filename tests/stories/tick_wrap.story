# The clock wraps after 2^32 - 1 ms; across the wrap a timer counts one millisecond less
# than the modular difference, as the library always has.
net check=0
tick at=0xFFFFFFF0
login H u p
tick at=0xFFFFFFFA                => open H
tick at=29984                     => no error
tick at=30984                     => close; error -9
