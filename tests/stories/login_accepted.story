# A login: the device connects to its home agent, sends its user name, password and the
# protocol version, and is Online, with the agent's time, once the agent accepts.
login H dev pw   => 1; log "xrDevTcpLogin: Login status - Alloc, uInd=0"; no open
tick 50          => open H; log "xrDevTcpLoginProc: Login status - Connected, uInd=0"; sent LOGIN sess=0x0 size=256 user=dev pass=pw version=1.3.0; log "xrDevTcpLoginProc: Login status - Logining, uInd=0"
agent LOGIN sess=0x55 result=0 time="2026-12-07 10:00:00" len=132
tick 50          => log "xrDevTcpSocketProcLogin: Login status - Logined, uInd=0"; notify ONLINE; notify TIME "2026-12-07 10:00:00"; no sent
state            => state Logined level=0 queued=0 held=0
