// A shared library that loads but exports no `plugin`: the host must report it and go on.
#include <boost/config.hpp>

extern "C" BOOST_SYMBOL_EXPORT int notACameraPlugin;
int notACameraPlugin = 1;
