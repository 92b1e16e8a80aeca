// quorvel --test-lamp NAME STATE [SECONDS]: lights one camera of the configuration by its own
// means, without a switcher, for installing and labelling cameras. The state is held for
// SECONDS (5 by default; refreshed as the camera's lamp_refresh_ms asks), then OFF is sent. Every
// attempt's outcome and every answer of the camera is printed.
#pragma once

#include <string>
#include <vector>

#include "config/config.h"

// `operands`: NAME, STATE (PROGRAM, PREVIEW or OFF, any case) and optionally SECONDS. Returns the
// exit status: 0 when every delivery got out, 1 otherwise or for operands that name nothing.
int runTestLamp(const Config& config, const std::vector<std::string>& operands);
