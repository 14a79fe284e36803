#include "app/process_state.h"

ProcessState processState;
