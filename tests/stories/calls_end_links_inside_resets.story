# Against the header's rules the application ends its link from inside the socket
# operations of the library's own steps (the close of a reset, a keepalive, the login
# request, a flush, the logout frame of a redirect, the connection check): nothing more
# happens for that link.
net check=0
app on=close do=logout
login H u p
tick 50                           => open H
wait 30000                        => close; no error
state                             => state Idle
net check=1
login H u p
tick 50
agent LOGIN sess=0x55 result=0
tick 50                           => notify ONLINE
app on=send nth=31 do=logout      # the keepalive of the pass that finds 90 s of silence
wait 91000                        => sent KEEPALIVE; close; no notify OFFLINE
state                             => state Idle
app on=send do=logout
login H u p
tick 50                           => open H; close; no sent; no log "xrDevTcpLoginProc: Login status - Logining, uInd=0"
login H u p
tick 50                           => sent LOGIN
agent LOGIN sess=0x56 result=0
tick 50                           => notify ONLINE
net send=0
send DATA 01                      => 1
app on=send do=logout
tick 50                           => close; no error
net send=all
login H u p
tick 50                           => sent LOGIN
agent LOGIN sess=0x57 result=0
tick 50                           => notify ONLINE
app on=send do=relogin
agent REDIRECT "A"
tick 50                           => notify REDIRECT "A"; close; no open A
app on=check do=logout
tick 50                           => open H; close; no error; no sent
state                             => state Idle
login H u p
tick 50
agent LOGIN sess=0x58 result=0
tick 50                           => notify ONLINE
app on=close do=logout
agent close
tick 50                           => close; no notify OFFLINE
app on=send answer=8 do=logout
login H u p
tick 50                           => open H; close; no log "xrDevTcpLoginProc: Login status - Logining, uInd=0"
