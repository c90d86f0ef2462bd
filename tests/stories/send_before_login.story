# Before the login completes only a login request may be queued; it waits for the
# connection and goes out ahead of the library's own request. One of a request's size, sent
# while the login is under way, is the application's to fill.
login H u p            => 1
send KEEPALIVE         => -5
send DATA 01 peer=p    => -5
send STR "x" peer=p    => -5
send LOGIN 78          => 1; no sent
net open=-7
tick 50                => error -3; no sent
net open=0
tick 50                => open H; sent LOGIN size=1 78; sent LOGIN user=u
send LOGIN size=256    => 256; sent LOGIN size=256
