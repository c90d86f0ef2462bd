needs LOG
# Against the header's rules the log function logs the link out: the library makes no
# further call for the link and leaves the slot free.
app on=log nth=2 do=logout
login H u p
tick 50                           => open H; close; no sent
state                             => state Idle socket=no
app on=log nth=4 do=logout
login H u p
tick 50                           => sent LOGIN
agent LOGIN sess=0x56 result=0
tick 50                           => close; no notify ONLINE
