#pragma once

// A ping-pong model of any size for the engine's benchmark: nProcesses / 2
// tables, each a block with two players. The first player serves one ball at
// the start; each player, on every ball, counts it (task), asks whether to
// play on (decision), returns it one time unit later (output) and stays in
// its state (set state). A player stops returning after nRallies balls, so a
// run ends by itself once every table is quiet. With bDoubles the ball also
// carries two doubles, one that six decimals give exactly (a half per hit)
// and one they would round (a third per hit).

#include <string>

struct SPingPongModel {
    int nProcesses = 2;   // rounded down to an even number, at least 2
    int nRallies = 100;   // balls a player returns at most
    bool bTrace = false;  // the players' execution trace switches
    bool bDoubles = false;
};

// The model file's text, as the loader reads it (system "pingpong<N>").
std::string MakePingPongModelXml(const SPingPongModel& model);
// The inputs a run of the model to its end performs.
long long PingPongDeliveries(const SPingPongModel& model);
