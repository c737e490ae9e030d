// The property-list reader (XML and binary) on any bytes; whatever it reads is either written and
// read back the same, or refused by the writer with a reason (a text that XML cannot hold, which
// the reader takes leniently, or a form larger than a reader takes).
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
    QString refusal;
    const QByteArray xml = PropertyList::toXml(value, &refusal);
    if (xml.isEmpty()) {
        FUZZ_ASSERT(!refusal.isEmpty());
        return 0;
    }
    QVariant again;
    FUZZ_ASSERT(PropertyList::parse(xml, &again));
    FUZZ_ASSERT(PropertyList::toXml(again) == xml);
    return 0;
}
