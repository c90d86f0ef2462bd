# A device that sleeps for what xrDevTcpWaitMs answers sends its keepalive after 60 s of
# silence and drops the agent at 90 s within the same second as one called every 50 ms,
# and does not wake in between. First the device called every 50 ms:
login H u p
tick 50                           => open H; sent LOGIN
agent LOGIN sess=0x55 result=0
tick 500                          => notify ONLINE
wait 60450                        => no sent
wait 50                           => sent KEEPALIVE sess=0x55
wait 29000                        => sent KEEPALIVE; no close
wait 1000                         => sent KEEPALIVE; close; notify OFFLINE; open H; sent LOGIN
# Then the same link driven by events: it wakes when the agent's reply arrives, then not
# before 60 s, and then once a second.
agent LOGIN sess=0x56 result=0
sleep 500                         => 1; notify ONLINE
sleep 59499                       => 0
sleep 1                           => 1; sent KEEPALIVE sess=0x56
sleep 29999                       => 29; sent KEEPALIVE; no close
sleep 1                           => 1; sent KEEPALIVE; close; notify OFFLINE; open H; sent LOGIN
