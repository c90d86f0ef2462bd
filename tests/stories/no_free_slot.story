# With every link in use, in any configuration (up to 12 links), a login of another user
# finds no free slot.
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
