#pragma once
// house_arrest: turns a "com.apple.mobile.house_arrest" service socket into an
// AFC connection inside one app's container.
//
//   caller  {"Command": "VendContainer", "Identifier": app}   XML
//   device  {"Status": "Complete"}                           the socket now speaks AFC
//           {"Error": "ApplicationLookupFailed"}             no such app (any "Error")
#include <QString>

// Throws std::runtime_error: the device layer's texts for the exchange, and
// "can not find <app>." when the device answers with an "Error" or with
// anything but a dictionary.
void mobiledevice_house_arrest_vend_container(int socket, const QString &appIdentifier);
