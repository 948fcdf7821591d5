// The Windows host does not look: the plug-in's error box says it all there.
#include "host/HostApi.h"

bool ListeningPorts(std::multiset<int>&) { return false; }
