/*
 * The soak's streams, one pair for each port (soak_ports.cpp), and the
 * process's resources watched meanwhile (soak_resources.cpp); soak_host.cpp
 * runs them together.
 */
#pragma once
#include "soak_common.h"

#include <string>
#include <vector>

extern double gRate; /* bytes/s of a 38400 bit/s port's streams; TOLVEX_RATE asks for another, to find the headroom */

/* A check's name: as it always was with one port, "portN." before it with more. */
std::string PortCheck(UINT port, const char *check);
std::string PortLabel(UINT port); /* "port N " before a figure, with more than one */

/* port's devices for the streams, in and out as asked; reported when one fails. */
bool PortOpen(UINT port, bool in, bool out);
/* Hands the module the input stream up to a little ahead of t seconds, of at most seconds in all. */
void PortFeed(UINT port, double t, double seconds);
/* Counts, without sending, what the program that feeds a shared port's module fed. */
void PortFeedCounted(UINT port, double seconds);
/* Sends the output stream up to t seconds of the line: the generator's, or 6000-byte buffers only. */
void PortSend(UINT port, double t, bool longOnly);
/* Every 10 s of t: what was sent by the last mark must have arrived intact; false once it has not. */
bool PortCheckMidway(UINT port, double t);
/* Bytes the module still has to write, by its own count. */
long long PortPending(UINT port);
/* Messages and exclusive bytes delivered and mismatched so far: changes while input comes in. */
long long PortDelivered(UINT port);
/* Closes the input and reports what it delivered. */
void PortInputEnd(UINT port);
/* Compares what the module received, reports it, closes the output. */
void PortOutputEnd(UINT port, double ran);

struct Sample {
    double at;
    DWORD handles;
    SIZE_T heapBytes, virtualBytes, workingSet;
    DWORD ownerHandles; /* of a shared port's owner, sampled by program 0; 0 otherwise */
};

void ResourcesInit(); /* the buffers the counts need, allocated before the first sample */
Sample TakeSample(long long start);
/* Flat after a warm-up: the last samples hold no more than the first. */
void ReportResources(const std::vector<Sample> &samples, double ran);
