/*
 * What the sharing group (sharing_group.cpp) and the programs it starts
 * (sharing_child.cpp: the test host again, run as "sharechild") both know:
 * each program's stream; and the group's means (sharing_lab.cpp): the
 * programs with a line each way over their pipes, the names of COM1's
 * shared objects, the line split by program.
 */
#pragma once
#include "host.h"

constexpr int kShareNotes = 120;     /* note pairs of a program's stream */
constexpr size_t kShareSysEx = 6000; /* bytes of each of its system exclusive messages */
constexpr size_t kShareHalf = 3000;  /* data bytes of the exclusive a program is killed inside */
constexpr BYTE kShareTag = 0x10;     /* program k's exclusive messages start F0 10+k */

/* Program k's stream as the line carries it: notes on channel k, each note
   ended by a note-on with velocity 0 that the program sends under running
   status, and two exclusive messages among them. */
std::vector<std::vector<BYTE>> ShareStream(int k);

constexpr DWORD kTerminated = 9; /* the exit code a kill gives */

/* A program of the group, and the ends of its pipes that the group holds. */
struct Child {
    HANDLE process = nullptr, in = nullptr, out = nullptr;
    DWORD pid = 0;
    int bits = 0;
    std::string buf; /* what it said past the last line taken */
};

/* A program of the given build, up and with the library loaded; false
   when it does not start (a build that cannot run here). */
bool Ready(Child &c, const std::wstring &host, const std::wstring &dll);
void Tell(Child &c, const std::string &cmd);
std::string Hear(Child &c, DWORD ms); /* its next line, or "" when none came in time */
std::string Ask(Child &c, const std::string &cmd, DWORD ms = kWait);
void End(Child &c); /* asked to quit, and killed when it does not */

std::wstring Env(const char *name);           /* an environment variable; empty when unset */
std::wstring ObjectName(const wchar_t *kind); /* the driver's name of one of COM1's shared objects */
std::vector<double> SimTimes();               /* ms since CLEAR of each byte the module received */
/* The wire split into messages, each given to the program whose channel or
   exclusive tag it carries; empty when every byte found its place, else
   why not. */
std::string Attribute(const std::vector<BYTE> &wire, std::vector<std::vector<BYTE>> *per, int programs);
