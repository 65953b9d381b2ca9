// SendBuffer lives with Send, which it extends.
#pragma once

#include "protocol/Send.h"
