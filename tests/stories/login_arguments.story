# Texts up to their fields' limits are taken whole; longer ones and null pointers are
# refused. A second login of a user name in use finds the link it already has. A logout
# before any login touches no socket.
logout 0                       => no close
login "a"*64 u p               => -2
login H "u"*128 p              => -2
login H u "p"*64               => -2
login NULL u p                 => -2
login H NULL p                 => -2
login H u NULL                 => -2
login "a"*63 "u"*127 "p"*63    => 2
login other "u"*127 x          => 2
tick 50                        => open "a"*63; sent LOGIN user="u"*127 pass="p"*63 version=1.3.0
logout                         => close; no sent
send DATA 01 id=2              => -2
login H v p                    => 4
logout
login H "" p                      => 6
tick 50                           => sent LOGIN user="" pass=p
