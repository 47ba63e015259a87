// The library's moc object holds the downloader's vtable, which needs its destructor. Until the
// downloader is built, the tests of the cloud client supply that one symbol; it is never called,
// because nothing here constructs a downloader.
#include "ziviviver.h"

ZOVeravidoZedozor::~ZOVeravidoZedozor() = default;
