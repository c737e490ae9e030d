// The strings-table reader on any bytes.
#include "fuzzsupport.h"
#include "stringstable.h"

extern "C" int LLVMFuzzerInitialize(int *argc, char ***argv)
{
    initFuzzing(argc, argv);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    QString error;
    StringsTable::parse(fuzzInput(data, size), &error);
    return 0;
}
