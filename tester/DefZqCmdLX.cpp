#include "DefZqCmdLX.h"

TRunState RunState;
TLinkBuffers Link{};
