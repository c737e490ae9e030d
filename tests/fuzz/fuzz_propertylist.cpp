// The property-list reader (XML and binary) on any bytes; whatever it reads can be written and
// read back the same.
#include "fuzzsupport.h"
#include "propertylist.h"

extern "C" int LLVMFuzzerInitialize(int *argc, char ***argv)
{
    initFuzzing(argc, argv);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    QVariant value;
    if (!PropertyList::parse(fuzzInput(data, size), &value))
        return 0;
    const QByteArray xml = PropertyList::toXml(value);
    QVariant again;
    FUZZ_ASSERT(PropertyList::parse(xml, &again));
    FUZZ_ASSERT(PropertyList::toXml(again) == xml);
    return 0;
}
