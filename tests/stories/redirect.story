# A redirect while logged in: the application hears of it, the device logs out of the old
# agent, closes, and connects to the new address on the next tick. A redirect to the
# address it is logged in on, or to no address, is ignored. A shorter address after a longer
# one is taken whole.
login H u p
tick 50
agent LOGIN sess=0x55 result=0
tick 50                           => notify ONLINE
agent REDIRECT "AAAA"
tick 50                           => notify REDIRECT "AAAA"; sent LOGOUT sess=0x55; close; log "xrDevTcpReset: Login status - Alloc, uInd=0"; no open
tick 50                           => open AAAA; sent LOGIN sess=0x0
agent LOGIN sess=0x66 result=0
tick 50                           => notify ONLINE
agent REDIRECT "AAAA"
tick 50                           => no event; no close
agent REDIRECT ""
tick 50                           => no event; no close
agent REDIRECT "B"
tick 50                           => notify REDIRECT "B"; close
tick 50                           => open B
agent LOGIN sess=0x67 result=0
tick 50                           => notify ONLINE
agent close
tick 50                           => close; notify OFFLINE
wait 15000                        => open B
