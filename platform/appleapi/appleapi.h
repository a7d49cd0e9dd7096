#pragma once
/* The C interface of Apple's MobileDevice and CoreFoundation libraries, as far
 * as this program uses it: our own declarations, shared by the code that calls
 * the functions (looked up by name at run time) and by the stand-in libraries
 * that export them on Linux. Every name below is exported unmangled; the
 * program takes a function's type from here with decltype, so a call through a
 * looked-up address always has the exported signature.
 *
 * Ownership follows CoreFoundation's rule: whatever a Create or Copy function
 * returns is released with CFRelease by the caller; Get results are borrowed
 * from their container. */
#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

/* ---- CoreFoundation -------------------------------------------------------- */

typedef int64_t CFIndex; /* 64 bits wide, as on every 64-bit Apple platform */
typedef unsigned long CFTypeID;
typedef unsigned long CFHashCode;
typedef unsigned long CFOptionFlags;
typedef uint32_t CFStringEncoding;
typedef CFIndex CFNumberType;
typedef CFIndex CFPropertyListFormat;
typedef unsigned char Boolean;
typedef double CFAbsoluteTime; /* seconds since 2001-01-01 00:00:00 UTC */

typedef const void *CFTypeRef;
typedef const void *CFAllocatorRef; /* always NULL here: the default allocator */
typedef CFTypeRef CFNullRef;
typedef CFTypeRef CFBooleanRef;
typedef CFTypeRef CFNumberRef;
typedef CFTypeRef CFStringRef;
typedef CFTypeRef CFDataRef;
typedef CFTypeRef CFDateRef;
typedef CFTypeRef CFArrayRef;
typedef CFTypeRef CFDictionaryRef;
typedef CFTypeRef CFPropertyListRef;
typedef CFTypeRef CFErrorRef;
typedef void *CFMutableArrayRef;
typedef void *CFMutableDictionaryRef;

typedef struct
{
    CFIndex location;
    CFIndex length;
} CFRange;

enum {
    kCFNumberSInt8Type = 1, /* also answers a boolean: one byte, 1 or 0 */
    kCFNumberSInt16Type = 2,
    kCFNumberSInt32Type = 3,
    kCFNumberSInt64Type = 4,
    kCFNumberFloat32Type = 5,
    kCFNumberFloat64Type = 6
};

enum {
    kCFPropertyListXMLFormat_v1_0 = 100,
    kCFPropertyListBinaryFormat_v1_0 = 200
};

enum {
    kCFStringEncodingASCII = 0x0600,
    kCFStringEncodingUTF8 = 0x08000100
};

/* The element callbacks of containers. The kCFType tables retain what goes in,
 * release what leaves and compare keys by value; a NULL table keeps bare
 * pointers compared by address. */
typedef const void *(*CFRetainCallBack)(CFAllocatorRef allocator, const void *value);
typedef void (*CFReleaseCallBack)(CFAllocatorRef allocator, const void *value);
typedef CFStringRef (*CFCopyDescriptionCallBack)(const void *value);
typedef Boolean (*CFEqualCallBack)(const void *value1, const void *value2);
typedef CFHashCode (*CFHashCallBack)(const void *value);

typedef struct
{
    CFIndex version;
    CFRetainCallBack retain;
    CFReleaseCallBack release;
    CFCopyDescriptionCallBack copyDescription;
    CFEqualCallBack equal;
    CFHashCallBack hash;
} CFDictionaryKeyCallBacks;

typedef struct
{
    CFIndex version;
    CFRetainCallBack retain;
    CFReleaseCallBack release;
    CFCopyDescriptionCallBack copyDescription;
    CFEqualCallBack equal;
} CFDictionaryValueCallBacks;

typedef CFDictionaryValueCallBacks CFArrayCallBacks;

/* Data symbols: the callback tables, the two boolean values (variables holding
 * the references) and the null value. */
extern const CFDictionaryKeyCallBacks kCFTypeDictionaryKeyCallBacks;
extern const CFDictionaryValueCallBacks kCFTypeDictionaryValueCallBacks;
extern const CFArrayCallBacks kCFTypeArrayCallBacks;
extern const CFBooleanRef kCFBooleanTrue;
extern const CFBooleanRef kCFBooleanFalse;
extern const CFNullRef kCFNull;

CFTypeRef CFRetain(CFTypeRef value);
void CFRelease(CFTypeRef value);
CFIndex CFGetRetainCount(CFTypeRef value);
CFTypeID CFGetTypeID(CFTypeRef value);
Boolean CFEqual(CFTypeRef value1, CFTypeRef value2);
CFHashCode CFHash(CFTypeRef value);

CFTypeID CFNullGetTypeID(void);
CFTypeID CFBooleanGetTypeID(void);
CFTypeID CFNumberGetTypeID(void);
CFTypeID CFStringGetTypeID(void);
CFTypeID CFDataGetTypeID(void);
CFTypeID CFDateGetTypeID(void);
CFTypeID CFArrayGetTypeID(void);
CFTypeID CFDictionaryGetTypeID(void);

Boolean CFBooleanGetValue(CFBooleanRef boolean);

/* Kinds 1 to 6 above. CFNumberGetValue answers non-zero when the value fits
 * the kind without loss; it also reads a boolean as 1 or 0. */
CFNumberRef CFNumberCreate(CFAllocatorRef allocator, CFNumberType kind, const void *value);
Boolean CFNumberGetValue(CFNumberRef number, CFNumberType kind, void *value);
Boolean CFNumberIsFloatType(CFNumberRef number);

/* Strings hold Unicode text; lengths and ranges count UTF-16 units. */
CFStringRef CFStringCreateWithBytes(CFAllocatorRef allocator, const uint8_t *bytes, CFIndex length,
                                    CFStringEncoding encoding, Boolean isExternalRepresentation);
CFIndex CFStringGetLength(CFStringRef string);
/* Converts range into buffer (or only measures when buffer is NULL); a unit
 * the encoding cannot hold becomes lossByte, or stops the conversion when
 * lossByte is 0. Answers the number of UTF-16 units converted. */
CFIndex CFStringGetBytes(CFStringRef string, CFRange range, CFStringEncoding encoding, uint8_t lossByte,
                         Boolean isExternalRepresentation, uint8_t *buffer, CFIndex maxBufferLength,
                         CFIndex *usedBufferLength);

CFDataRef CFDataCreate(CFAllocatorRef allocator, const uint8_t *bytes, CFIndex length);
CFIndex CFDataGetLength(CFDataRef data);
const uint8_t *CFDataGetBytePtr(CFDataRef data);
void CFDataGetBytes(CFDataRef data, CFRange range, uint8_t *buffer);

CFDateRef CFDateCreate(CFAllocatorRef allocator, CFAbsoluteTime at);
CFAbsoluteTime CFDateGetAbsoluteTime(CFDateRef date);

CFMutableArrayRef CFArrayCreateMutable(CFAllocatorRef allocator, CFIndex capacity,
                                       const CFArrayCallBacks *callBacks);
CFIndex CFArrayGetCount(CFArrayRef array);
/* NULL for an index outside the array. */
const void *CFArrayGetValueAtIndex(CFArrayRef array, CFIndex index);
void CFArrayAppendValue(CFMutableArrayRef array, const void *value);

CFMutableDictionaryRef CFDictionaryCreateMutable(CFAllocatorRef allocator, CFIndex capacity,
                                                 const CFDictionaryKeyCallBacks *keyCallBacks,
                                                 const CFDictionaryValueCallBacks *valueCallBacks);
CFMutableDictionaryRef CFDictionaryCreateMutableCopy(CFAllocatorRef allocator, CFIndex capacity,
                                                     CFDictionaryRef dictionary);
CFIndex CFDictionaryGetCount(CFDictionaryRef dictionary);
/* NULL when the key is absent. */
const void *CFDictionaryGetValue(CFDictionaryRef dictionary, const void *key);
/* Fills keys and values (either may be NULL) in the order the entries were
 * first set. */
void CFDictionaryGetKeysAndValues(CFDictionaryRef dictionary, const void **keys, const void **values);
void CFDictionarySetValue(CFMutableDictionaryRef dictionary, const void *key, const void *value);
void CFDictionaryRemoveValue(CFMutableDictionaryRef dictionary, const void *key);

/* Formats 100 (XML) and 200 (binary). Answer NULL for a value that has no
 * property-list form; an error object is never made (error is set to NULL). */
CFDataRef CFPropertyListCreateData(CFAllocatorRef allocator, CFPropertyListRef value,
                                   CFPropertyListFormat format, CFOptionFlags options, CFErrorRef *error);
CFPropertyListRef CFPropertyListCreateWithData(CFAllocatorRef allocator, CFDataRef data, CFOptionFlags options,
                                               CFPropertyListFormat *format, CFErrorRef *error);

/* Our stand-in only: how many values it holds alive now, the constant ones
 * (booleans, null) left out. Tests compare it before and after. */
int64_t qp_cf_live_values(void);

/* ---- MobileDevice ----------------------------------------------------------- */

/* A device as the attach notification hands it over; it stays a valid
 * argument until the process ends, but answers errors once detached. */
typedef void *AMDeviceRef;

enum {
    kAMDeviceAttached = 1,
    kAMDeviceDetached = 2
};

typedef struct AMDeviceNotificationCallbackInfo
{
    AMDeviceRef device;
    unsigned int message; /* kAMDeviceAttached or kAMDeviceDetached */
    void *subscription;
} AMDeviceNotificationCallbackInfo;

typedef void (*AMDeviceNotificationCallback)(AMDeviceNotificationCallbackInfo *info, void *context);

/* Error codes of the stand-in; every other non-zero code is a failure a
 * virtual phone was told to give. */
enum {
    kAMDSuccess = 0,
    kAMDUndefinedError = (int)0xe8000001,
    kAMDInvalidArgumentError = (int)0xe8000007,
    kAMDDeviceDisconnectedError = (int)0xe800000d,
    kAMDNotConnectedError = (int)0xe8000014,
    kAMDSessionInactiveError = (int)0xe800001e,
    kAMDInvalidPairRecordError = (int)0xe800002b,
    kAMDInvalidServiceError = (int)0xe8000022,
    kAMDMissingValueError = (int)0xe800003d,
    /* What a real phone's lockdown service or usbmuxd can answer beyond the
     * stand-in's list (the libimobiledevice backend, lockdownerrors.h). */
    kAMDPasswordProtectedError = (int)0xe8000101,           /* locked with a passcode: unlock it */
    kAMDPairingDialogResponsePendingError = (int)0xe8000102, /* the phone asks "Trust This Computer?" */
    kAMDUserDeniedPairingError = (int)0xe8000103,           /* "Don't Trust" was tapped */
    kAMDInvalidHostIDError = (int)0xe8000104,               /* the phone forgot this computer */
    kAMDSessionActiveError = (int)0xe8000105,
    kAMDServiceProhibitedError = (int)0xe8000106,
    kAMDServiceLimitError = (int)0xe8000107,
    kAMDSSLError = (int)0xe8000108,                         /* the encrypted channel failed */
    kAMDReceiveTimeoutError = (int)0xe8000109,
    kAMDMuxError = (int)0xe800010a,                         /* usbmuxd is not running or refused */
    kAMDEscrowLockedError = (int)0xe800010b,                /* unlock the phone once since it started */
    kAMDPairingProhibitedError = (int)0xe800010c,           /* pairing not allowed over this connection */
    kAMDMissingPairRecordError = (int)0xe800010d
};

/* Calls callback on the library's own thread for every device already there
 * and for each one that arrives or leaves later. The subscription lasts for
 * the life of the process. */
int AMDeviceNotificationSubscribe(AMDeviceNotificationCallback callback, unsigned int unused0,
                                  unsigned int unused1, void *context, void **subscription);

int AMDeviceConnect(AMDeviceRef device);
int AMDeviceDisconnect(AMDeviceRef device);
/* Non-zero when the device trusts this computer. */
int AMDeviceIsPaired(AMDeviceRef device);
int AMDevicePair(AMDeviceRef device);
int AMDeviceValidatePairing(AMDeviceRef device);
int AMDeviceStartSession(AMDeviceRef device);
int AMDeviceStopSession(AMDeviceRef device);
/* Inside a session: a connected stream socket to the named service, which the
 * caller closes; it outlives the session. */
int AMDeviceStartService(AMDeviceRef device, CFStringRef service, int *socket, void *unused);
/* Inside a session. A NULL domain reads the top-level values; a NULL key
 * answers the whole domain as a new dictionary. NULL when there is none. */
CFTypeRef AMDeviceCopyValue(AMDeviceRef device, CFStringRef domain, CFStringRef key);
int AMDeviceSetValue(AMDeviceRef device, CFStringRef domain, CFStringRef key, CFTypeRef value);

/* Our stand-in only: the next service any virtual phone starts is served by
 * peer (on the library's thread, with the library's end of the socket, which
 * is closed when peer returns) instead of by the service's emulator; service
 * names the service asked for. One start takes the hook; a null peer clears
 * it. Answers the context of an earlier hook that no start took. */
typedef void (*QpServicePeer)(int socket, const char *service, void *context);
void *qp_md_hand_next_service(QpServicePeer peer, void *context);

/* The libimobiledevice backend only: the code it answers for a lockdown
 * error of libimobiledevice (lockdownd_error_t, a negative number). */
int qp_imd_code_for_lockdown_error(int error);

#ifdef __cplusplus
}
#endif
