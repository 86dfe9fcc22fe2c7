// Internal: reporting of kernel-interface misuse inside the simulation.
#pragma once

void SimReportMisuse(const char* what);
