# Against the header's rules the application logs its link out (and perhaps in again) from
# inside a socket operation: the library makes no further call for the link, closes a socket
# that came back, and leaves the slot as the application left it. A write that failed with
# it answers -3, one that did not its size. A nested xrDevTcpProc returns at once.
app on=open do=logout
login H u p
tick 50                           => open H; close; no sent
state                             => state Idle socket=no
app on=recv do=logout
login H u p
tick 50                           => open H; sent LOGIN; close
tick 50                           => no anything
app on=send nth=2 do=relogin
login H u p
tick 50                           => open H; sent LOGIN
agent LOGIN sess=0x55 result=0
tick 50                           => notify ONLINE
send DATA 01 peer=p               => -3; close
tick 50                           => open H; sent LOGIN
agent LOGIN sess=0x56 result=0
tick 50                           => notify ONLINE
app on=send answer=0 do=relogin
send DATA 01 peer=p               => 1; close
logout
app on=data do=proc
login H u p
tick 50
agent LOGIN sess=0x57 result=0
tick 50                           => notify ONLINE
agent DATA 01 peer=p
agent DATA 02 peer=p join=1
tick 50                           => data size=1 01; no data size=1 02
tick 50                           => data size=1 02
app on=send do=relogin
logout                            => sent LOGOUT; close
state                             => state Alloc
tick 50                           => open H
app on=close do=relogin
logout                            => close
state                             => state Alloc
tick 50                           => open H
