#include "FFmpegException.h"
