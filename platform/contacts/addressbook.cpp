#include "addressbook.h"

AddressBook::~AddressBook() = default;
