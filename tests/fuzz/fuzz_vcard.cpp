// The preparation and reading of a card file's content on any bytes.
#include "fuzzsupport.h"
#include "vdiraddressbook.h"

extern "C" int LLVMFuzzerInitialize(int *argc, char ***argv)
{
    initFuzzing(argc, argv);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    VdirAddressBook::readCards(fuzzInput(data, size), QStringLiteral("fuzz.vcf"));
    return 0;
}
