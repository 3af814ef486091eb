// The preset lines offered by the agent field of the load tester window.
#pragma once

#include <string>
#include <vector>

const std::vector<std::string>& AgentPresetLines();
