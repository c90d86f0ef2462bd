# A connection whose queue has no room for the login request waits, Connected, until the
# socket has taken what is queued; the request goes out on the tick after.
login H u p
send LOGIN size=BUF-200           => BUF-200
net send=0
tick 50                           => open H; log "xrDevTcpLoginProc: Login status - Connected, uInd=0"; no log "xrDevTcpLoginProc: Login status - Logining, uInd=0"
state                             => state Connected
net send=all
tick 50                           => sent LOGIN size=BUF-200; no sent LOGIN user=u
tick 50                           => sent LOGIN user=u; log "xrDevTcpLoginProc: Login status - Logining, uInd=0"
state                             => state Logining
