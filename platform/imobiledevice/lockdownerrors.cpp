#include "platform/imobiledevice/lockdownerrors.h"

#include "platform/appleapi/appleapi.h"

int LockdownErrors::code(lockdownd_error_t error)
{
    switch (error) {
    case LOCKDOWN_E_SUCCESS:
        return kAMDSuccess;
    case LOCKDOWN_E_INVALID_ARG:
    case LOCKDOWN_E_GET_PROHIBITED:
    case LOCKDOWN_E_SET_PROHIBITED:
    case LOCKDOWN_E_REMOVE_PROHIBITED:
    case LOCKDOWN_E_IMMUTABLE_VALUE:
        return kAMDInvalidArgumentError;
    case LOCKDOWN_E_INVALID_CONF:
    case LOCKDOWN_E_PAIRING_FAILED:
    case LOCKDOWN_E_SAVE_PAIR_RECORD_FAILED:
    case LOCKDOWN_E_INVALID_PAIR_RECORD:
        return kAMDInvalidPairRecordError;
    case LOCKDOWN_E_MISSING_PAIR_RECORD:
        return kAMDMissingPairRecordError;
    case LOCKDOWN_E_SSL_ERROR:
        return kAMDSSLError;
    case LOCKDOWN_E_RECEIVE_TIMEOUT:
        return kAMDReceiveTimeoutError;
    case LOCKDOWN_E_MUX_ERROR:
        return kAMDMuxError;
    case LOCKDOWN_E_NO_RUNNING_SESSION:
    case LOCKDOWN_E_SESSION_INACTIVE:
    case LOCKDOWN_E_MISSING_SESSION_ID:
    case LOCKDOWN_E_INVALID_SESSION_ID:
        return kAMDSessionInactiveError;
    case LOCKDOWN_E_SESSION_ACTIVE:
        return kAMDSessionActiveError;
    case LOCKDOWN_E_MISSING_KEY:
    case LOCKDOWN_E_MISSING_VALUE:
        return kAMDMissingValueError;
    case LOCKDOWN_E_PASSWORD_PROTECTED:
        return kAMDPasswordProtectedError;
    case LOCKDOWN_E_USER_DENIED_PAIRING:
        return kAMDUserDeniedPairingError;
    case LOCKDOWN_E_PAIRING_DIALOG_RESPONSE_PENDING:
        return kAMDPairingDialogResponsePendingError;
    case LOCKDOWN_E_MISSING_HOST_ID:
    case LOCKDOWN_E_INVALID_HOST_ID:
        return kAMDInvalidHostIDError;
    case LOCKDOWN_E_MISSING_SERVICE:
    case LOCKDOWN_E_INVALID_SERVICE:
        return kAMDInvalidServiceError;
    case LOCKDOWN_E_SERVICE_LIMIT:
        return kAMDServiceLimitError;
    case LOCKDOWN_E_SERVICE_PROHIBITED:
        return kAMDServiceProhibitedError;
    case LOCKDOWN_E_ESCROW_LOCKED:
        return kAMDEscrowLockedError;
    // A managed phone (or one paired over Wi-Fi) refusing this computer: the
    // user cannot tap past any of these.
    case LOCKDOWN_E_PAIRING_PROHIBITED_OVER_THIS_CONNECTION:
    case LOCKDOWN_E_FMIP_PROTECTED:
    case LOCKDOWN_E_MC_PROTECTED:
    case LOCKDOWN_E_MC_CHALLENGE_REQUIRED:
        return kAMDPairingProhibitedError;
    default:
        // Dictionary and plist faults, an invalid response, activation
        // records, and whatever a newer library release adds.
        return kAMDUndefinedError;
    }
}

int LockdownErrors::code(idevice_error_t error)
{
    switch (error) {
    case IDEVICE_E_SUCCESS:
        return kAMDSuccess;
    case IDEVICE_E_INVALID_ARG:
        return kAMDInvalidArgumentError;
    case IDEVICE_E_NO_DEVICE:
        return kAMDDeviceDisconnectedError;
    case IDEVICE_E_SSL_ERROR:
        return kAMDSSLError;
    case IDEVICE_E_TIMEOUT:
        return kAMDReceiveTimeoutError;
    default:
        return kAMDUndefinedError;
    }
}
