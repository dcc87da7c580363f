#include "OptionRecords.h"
