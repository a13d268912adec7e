// The process-wide record of the compression switches.
#include "codec/common/settings.h"

CodecSettings codecSettings;
