// Defines the interface, class and library identifiers once for the module.
#include <initguid.h>

#include "SMRPluginIF.h"
#include "TessaranService.h"
