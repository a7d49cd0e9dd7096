#pragma once
// "com.apple.mobilebackup2" of a virtual phone behind the virtual usbmuxd: a
// whole backup peer, so that Debian's idevicebackup2 backs the phone up and
// restores it as it does a real one. The device-link version exchange and
// every answer the stand-in's emulator gives stay as they are
// (platform/mobiledevice/backup2emulator.h); a "Backup" or "Restore" request
// that the phone's settings give no "ErrorCodes" entry runs the whole
// exchange instead, the phone driving the computer:
//
//   Backup  the phone's backup (tests/support/virtualphonebackup.h) is made
//           in a folder of its own, then sent:
//     phone     ["DLMessageGetFreeDiskSpace"]
//     computer  ["DLMessageStatusResponse", 0, "", bytes free]
//               fewer than the backup needs: ends with ErrorCode 105
//     phone     ["DLContentsOfDirectory", "<udid>"]          what is there
//     phone     ["DLMessageCreateDirectory", "<udid>/<dir>"] for Snapshot and
//                                                            each data folder
//     phone     ["DLMessageUploadFiles", {}, progress, total bytes], then raw:
//                 per file: 4-byte big-endian length + the phone's path,
//                 the same + the path in the backup root, then chunks
//                 (length + 1, code 0x0C, data) and the end (1, code 0x00);
//                 a length of 0 ends the list
//               the data files first, the manifest files into <udid>/Snapshot
//     phone     ["DLMessageMoveItems", {from: to}, {}, progress]  manifests
//                                                                 into place
//     phone     ["DLMessageRemoveItems", [...], {}, progress]     Snapshot, and
//               files of an earlier backup the new one does not hold
//     phone     Status.plist, uploaded last: only a backup sent whole says
//               "finished"
//     phone     ["DLMessageProcessMessage", {"ErrorCode": 0}]
//   Every message but the last is answered by the computer's
//   ["DLMessageStatusResponse", code, text, value]; a code other than 0 ends
//   the backup with ErrorCode 104. With the phone's backup domain saying
//   "WillEncrypt", the backup is encrypted under the setting "Password".
//
//   Restore
//     phone     ["DLContentsOfDirectory", "<source>"]
//     phone     ["DLMessageDownloadFiles", [paths], {}, progress], then raw
//               from the computer: per file 4-byte length + path, chunks as
//               above, the end (1, 0x00) or an error (length, 0x06, text); a
//               length of 0 ends the list; then its status response. First
//               the manifest files, then the data files they list.
//     phone     the files go into the phone's tree, then
//               ["DLMessageProcessMessage", {"ErrorCode": 0}]
//   A phone whose disk usage gives fewer free bytes than the restore needs
//   plus the reserve a phone keeps ends at once with ErrorCode 105,
//   "Insufficient free disk space on device to restore (<free> < <needed>)".
//
// Settings in "Services" -> "com.apple.mobilebackup2" beside those of the
// emulator: "Password" (text), "UnplugAfterFiles" (the phone leaves, its
// device.plist removed, once that many files of a backup were sent).
// Everything the computer sends as a property list is recorded as the
// emulator records it.
#include <string>

class Backup2Peer
{
public:
    static constexpr const char *kService = "com.apple.mobilebackup2";

    // Serves the phone's end of a service socket until the computer leaves.
    static void serve(int socket, const std::string &phoneFolder);
};
