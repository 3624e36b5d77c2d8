// A shared library of the right contract version that exports no `plugin`: the host must
// report it and go on.
#include "common/cameraplugin.h"

#include <boost/config.hpp>

const int pluginContractVersion = common::contractVersion;

extern "C" BOOST_SYMBOL_EXPORT int notACameraPlugin;
int notACameraPlugin = 1;
