#include "Logger.h"

namespace LogNameSpace {

const char* const ErrorSeverityName[5] = {"Debug", "Info", "Warning", "Error", "*Fatal*"};

// Standard syslog levels: debug, debug, info, warning, error, emergency.
const int syslog_prio[6] = {7, 7, 6, 4, 3, 0};

}  // namespace LogNameSpace
