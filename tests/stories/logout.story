# A logout sends the logout frame when logged in, closes the socket and frees the slot,
# wiping what it held. An unknown handle is ignored.
login H u secret
tick 50
agent LOGIN sess=0x55 result=0
tick 50                           => notify ONLINE
logout 0x20001                    => no anything
logout                            => sent LOGOUT sess=0x55; close; log "xrDevTcpLogout: Login status - Idle, uInd=0"
state                             => state Idle level=0 queued=0 held=0 socket=no
tick 50                           => no anything
