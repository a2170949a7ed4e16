#pragma once

// The certificate libraries export their C++ API and nothing else; everything
// else is built with hidden visibility.
#define VELTROX_CERTS_API __attribute__((visibility("default")))
