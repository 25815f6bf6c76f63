// A shared library that is not an API module: it exports no GetAPITable.
extern "C" int KinoroNotAModule() { return 1; }
