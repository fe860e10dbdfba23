// A C entry point into the fake transport, for tests that load the library with dlopen and so
// cannot reach the fake's C++ interface inside it.
#include "tests/fake/fake_transport.h"

extern "C" __attribute__((visibility("default"))) void fakeScriptBlockingReceive(
    void (*sink)(const char*)) {
    fake::FakeTransport::instance().reset(fake::Script{});
    fake::FakeTransport::instance().setEventSink(sink);
}
