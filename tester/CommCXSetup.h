// Builds the main window's serial component with the window's stored settings.
#pragma once

#include <memory>

#include "CommPort.h"

std::unique_ptr<CommPort> CreateCommCX();
