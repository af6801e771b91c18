// What /proc tells about a process under test: its children, its descriptors, its sockets.
#pragma once

#include <sys/types.h>

#include <set>
#include <string>
#include <vector>

// Returns the processes whose parent is pid; only the zombies among them if zombiesOnly.
std::vector<pid_t> childrenOf(pid_t pid, bool zombiesOnly = false);

// Returns the number of descriptors that process pid has open.
size_t openDescriptors(pid_t pid);

// Returns the inodes of the sockets that process pid holds open.
std::set<std::string> socketInodes(pid_t pid);

// Returns the port of the IPv4 socket that process pid listens on, or 0 if there is none.
int listeningPortOf(pid_t pid);
