<?xml version="1.0" encoding="utf-8"?>
<!DOCTYPE TS>
<TS version="2.1" language="en_US">
<!-- Every IDS key lives in the context "QObject"; the translator falls back to
     it from a class's own context. Plain source texts keep their own context. -->
<context>
    <name>QObject</name>
    <message>
        <source>Quillmarten Parlevane</source>
        <translation>Quillmarten Parlevane</translation>
    </message>
    <message>
        <source>IDS_NONE_INSTALL_ITUNES</source>
        <translation>Failed to load (Apple Mobile Device) framework. Plese click &lt;a href=&quot;%1/tutorial/how-to-connect-ios-device-to-quillmarten-successfully.html&quot;&gt;HERE&lt;/a&gt; for help.</translation>
    </message>
    <message>
        <source>IDS_ROOT_DEVICE</source>
        <translation>Devices</translation>
    </message>
    <message>
        <source>IDS_ROOT_LOCALDB</source>
        <translation>Local Databases</translation>
    </message>
    <message>
        <source>IDS_LOADING_IOS_DATABASES</source>
        <translation>Loading SMS from iPhone...</translation>
    </message>
    <message>
        <source>IDS_BACKING_UP_SMS</source>
        <translation>Backing up SMS to Local Database...</translation>
    </message>
    <message>
        <source>IDS_SUC_BACKUP_%1_SMS</source>
        <translation>Successfully Backup %1 SMS to local Database.</translation>
    </message>
    <message>
        <source>IDS_LEFT_OUT_%1_SMS_OF_%2_CHATS</source>
        <translation>%1 SMS of %2 conversations could not be written and were left out.</translation>
    </message>
    <message>
        <source>IDS_DELETING_LOCAL_DB_MESSAGES</source>
        <translation>Deleting SMS...</translation>
    </message>
    <message>
        <source>IDS_SUC_DELETE_%1_MESSAGES</source>
        <translation>Successfully Deleted %1 SMS.</translation>
    </message>
    <message>
        <source>IDS_PLEASE_SELECT_DATABASE_OR_INPUT_NEW_NAME</source>
        <translation>Select one Database or enter a new Database name</translation>
    </message>
    <message>
        <source>IDS_INVALID_LOCALDB_NAME</source>
        <translation>Invalid Local Database name(can&apos;t contain \ / : * ? &quot; &lt; &gt; |).</translation>
    </message>
    <message>
        <source>IDS_UPDATING_LOCALDB_%1</source>
        <translation>Updating local database &apos;%1&apos;...</translation>
    </message>
    <message>
        <source>IDS_LOCALDB_UPDATE_SUC_RESTART_REFRESH</source>
        <translation>Successfully updated local database. Please restart software.</translation>
    </message>
    <message>
        <source>IDS_EXPORTING_MESSAGES_TO_FILE</source>
        <translation>Exporting SMS...</translation>
    </message>
    <message>
        <source>IDS_SUC_EXPORT_%1_MMS</source>
        <translation>Successfully exported %1 SMS.</translation>
    </message>
    <message>
        <source>IDS_LOADING_ITUNES_BACKUP</source>
        <translation>Loading iTunes backup...</translation>
    </message>
    <message>
        <source>IDS_NOT_CONTAIN_SMS_DB_IN_ITUNES_BACKUP</source>
        <translation>Found no message database file in this iTunes backup.</translation>
    </message>
    <message>
        <source>IDS_CACHING_BACKUP_FILE_%1</source>
        <translation>Saving %1...</translation>
    </message>
    <message>
        <source>IDS_CANNOT_CREATE_FOLDER_%1</source>
        <translation>Cannot create the folder %1.</translation>
    </message>
    <message>
        <source>IDS_UNKNOWN_MESSAGE_DB_%1</source>
        <translation>The message file %1 is not laid out as any iPhone message database this program knows, so its messages cannot be read.</translation>
    </message>
    <message>
        <source>IDS_CANNOT_CREATE_PDF_IN_%1</source>
        <translation>Cannot create a PDF file in the folder %1.</translation>
    </message>
    <message>
        <source>IDS_CANNOT_WRITE_EXPORT_IN_%1</source>
        <translation>Could not write the whole export into the folder %1. Is the disk full?</translation>
    </message>
    <message>
        <source>IDS_PRINT_SMS</source>
        <translation>Print SMS</translation>
    </message>
    <message>
        <source>IDS_BACKING_UP_IOS</source>
        <translation>Backing up iPhone...</translation>
    </message>
    <message>
        <source>IDS_RESTORING_BACKUP_TO_IOS</source>
        <translation>Restoring iPhone...</translation>
    </message>
    <message>
        <source>IDS_RESTORING_BACKUP_TO_IOS_RESTARTS</source>
        <translation>Restoring iPhone... It restarts when the restore is done: keep it connected until it has.</translation>
    </message>
    <message>
        <source>IDS_RESTORE_TO_IOS_STOPPED</source>
        <translation>The restore was stopped before it finished. Your iPhone may have taken up only part of the backup, and it may not restart by itself: restart it, check that its messages are there, and transfer them again if they are not. The backup on this computer is kept.</translation>
    </message>
    <message>
        <source>IDS_MERGING_IOS6_MESSAGES</source>
        <translation>Saving SMS to iPhone...</translation>
    </message>
    <message>
        <source>IDS_NO_VALID_MESSAGE_RESTORE_TO_IOS_%1_UNKNOWN_CHAT_MSG</source>
        <translation>No message for recovering. Only found %1 messages with unknown contact info. Please right click the messages to set contact info first and try again.</translation>
    </message>
    <message>
        <source>IDS_CANT_EXPORT_ITUNES_BACKUP_IS_ENCRYPT</source>
        <translation>Failed to export SMS to iTunes backup because your current iTunes backup is encrypted.</translation>
    </message>
    <message>
        <source>IDS_CHECKING_APK_INSTALL</source>
        <translation>Checking and installing Quillmarten SMS Sync now...</translation>
    </message>
    <message>
        <source>IDS_GET_ANDROID_DEVICE_INFO</source>
        <translation>Getting Android info...</translation>
    </message>
    <message>
        <source>IDS_WIFI_SOCK_WRONG_FOR_EXAMPLE</source>
        <translation>Input Error. Please input the correct WiFi connection info.</translation>
    </message>
    <message>
        <source>IDS_CONNECTING_ANDROID_DEVICE</source>
        <translation>Connecting to Android...</translation>
    </message>
    <message>
        <source>IDS_ANDROID_LOADING_SMS</source>
        <translation>Loading SMS...</translation>
    </message>
    <message>
        <source>IDS_RESTORING_SMS_TO_ANDROID</source>
        <translation>Sending SMS to Device...</translation>
    </message>
    <message>
        <source>IDS_SUC_RESTORE_%1_SMS_TO_ANDROID</source>
        <translation>Successfully Transferred %1 SMS</translation>
    </message>
    <message>
        <source>IDS_SKIP_%1_SMS_GROUP_OR_SYS_MESSAGES</source>
        <translation>%1 group messages or system messages can&apos;t be transferred.</translation>
    </message>
    <message>
        <source>IDS_ANDROID_%1_CANT_READ_MMC_NUMBER</source>
        <translation>Failed to load country code from your phone. Please click &quot;OK&quot; button to select a country code manually.</translation>
    </message>
    <message>
        <source>IDS_ANDROID_CACHE_NOT_UPDATED</source>
        <translation>Note: the copy of the phone&apos;s messages on this computer could not be updated. Load the phone again to see the transferred messages.</translation>
    </message>
    <message>
        <source>IDS_TITLE_SELECT_ONE_DEVICE_TO_TRANSFER</source>
        <translation>Please select a Device.</translation>
    </message>
    <message>
        <source>IDS_CHOOSE_ONE_OF_%1</source>
        <translation>%1 found: click here to choose one</translation>
    </message>
    <message>
        <source>IDS_PLEASE_SELECT_ONE_DATASOURCE</source>
        <translation>Need to select a Device to continue.</translation>
    </message>
    <message>
        <source>IDS_SEL_YOUR_PHONE_COUNTRY</source>
        <translation>Select your country code:</translation>
    </message>
    <message>
        <source>IDS_CANT_CONTINUE_WITHOUT_SEL_ONE_COUNTRY</source>
        <translation>Please select a cuntry code first to continue.</translation>
    </message>
    <message>
        <source>IDS_CONFIRM_SEL_COUNTRY_%1</source>
        <translation>Confirm to select %1?</translation>
    </message>
    <message>
        <source>IDS_SELECT_AN_ITUNES_BACKUP_TO_LOAD</source>
        <translation>Please select an iTunes Backup to load.</translation>
    </message>
    <message>
        <source>IDS_NO_BACKUP_LISTED_THERE_CLICK_&lt;a href=&quot;#&quot;&gt;Here&lt;/a&gt;_ADD</source>
        <translation>Can&apos;t find your iTunes Backup on the list? Please manually import it by clicking &lt;a href=&quot;#&quot;&gt;HERE&lt;/a&gt;.</translation>
    </message>
    <message>
        <source>IDS_PLEASE_SELECT_ONE_ITUNES_BACKUP</source>
        <translation>Need to select an iTunes Backup to continue.</translation>
    </message>
    <message>
        <source>IDS_LOAD_BK_EXISTS</source>
        <translation>This iTunes Backup has been listed on the left.</translation>
    </message>
    <message>
        <source>IDS_PLEASE_ENTER_PASSWORD_TO_LOAD_BACKUP</source>
        <translation>This iTunes Backup is encrypted. Please enter password:</translation>
    </message>
    <message>
        <source>IDS_ENTER_PASSWORD</source>
        <translation>Enter password</translation>
    </message>
    <message>
        <source>IDS_PWD_IS_NULL</source>
        <translation>Password is required.</translation>
    </message>
    <message>
        <source>IDS_INVALID_PASSWORD</source>
        <translation>Invalid password.</translation>
    </message>
    <message>
        <source>IDS_CONFIRM_DEL_THIS_LOCALDB</source>
        <translation>Confirm to delete this Database?</translation>
    </message>
    <message>
        <source>IDS_DEL_LOCALDB_SUC</source>
        <translation>Successfully Deleted Database %0.</translation>
    </message>
    <message>
        <source>IDS_CHECKING_PASSWORD</source>
        <translation>Checking the password...</translation>
    </message>
    <message>
        <source>IDS_KEYBAG_ITERATIONS_TOO_HIGH_%1</source>
        <translation>This backup cannot be opened: its keys ask for more than %1 rounds of password checking, far beyond what any iPhone uses. The backup may be damaged.</translation>
    </message>
    <message>
        <source>IDS_ALREADY_RUNNING</source>
        <translation>Quillmarten Parlevane is already running. Switch to its window, or close it before starting the program again.</translation>
    </message>
    <message>
        <source>IDS_SUC_CLEAR_CACHE</source>
        <translation>Successfully cleared cache files.</translation>
    </message>
    <message>
        <source>IDS_DEL_LOCALDB_FAILED_%1_%2</source>
        <translation>Database %1 could not be deleted whole: %2 is still there. Close any program that uses it and delete what is left by hand.</translation>
    </message>
    <message>
        <source>IDS_CLEAR_CACHE_FAILED_%1</source>
        <translation>Not every cache file could be removed: %1 is still there. Close any program that uses it and try again.</translation>
    </message>
    <message>
        <source>IDS_CAN_NOT_FOUND_AND_MESSAGES</source>
        <translation>Can&apos;t find any SMS.</translation>
    </message>
    <message>
        <source>IDS_CAN_NOT_FOUNDSMS_KEYWORD_%0</source>
        <translation>Find no SMS with keyword %1.</translation>
    </message>
    <message>
        <source>IDS_CAN_NOT_FOUNDCONTACT_KEYWORD_%0</source>
        <translation>Find no contact with keyword %1.</translation>
    </message>
    <message>
        <source>IDS_SUC_RESTORE_%1_MESSAGES_TO_IOS</source>
        <translation>Successfully recovered %1 SMS to iPhone.</translation>
    </message>
    <message>
        <source>IDS_CONFIRM_DEL_SEL_MESSAGES</source>
        <translation>Confirm to delete the selected SMS?</translation>
    </message>
    <message>
        <source>IDS_CONFIRM_DEL_THIS_CHAT</source>
        <translation>Confirm to delete SMS with this contact?</translation>
    </message>
    <message>
        <source>IDS_SEL_EXPORT_MESSAGES_PATH</source>
        <translation>Please select Save Path for SMS.</translation>
    </message>
    <message>
        <source>IDS_SEL_ONE_IOS_DEVICE</source>
        <translation>Please select an iPhone:</translation>
    </message>
    <message>
        <source>IDS_RESTORE_IOS_TIPS_FIND_MY_IPHONE_MUST_OFF</source>
        <translation>&lt;p&gt;&lt;b&gt;Notes:&lt;/b&gt;&lt;/p&gt;&lt;p&gt;1. If your iPhone is protected with a passcode, please enter your passcode on iPhone first.&lt;/p&gt;&lt;p&gt;2. Please make sure &quot;iCloud Backup&quot; is turned off on your iPhone.&lt;/p&gt;&lt;p&gt;3. &quot;Find My iPhone&quot; must be disabled before restoring. &lt;a href=&quot;%1/tutorial/how-to-disable-find-my-iphone.html&quot;&gt;detail&lt;/a&gt;&lt;/p&gt;&lt;p&gt;Continue?&lt;/p&gt;</translation>
    </message>
    <message>
        <source>IDS_SEL_ONE_ANDROID_DEVICE</source>
        <translation>Please select an Android device:</translation>
    </message>
</context>
<context>
    <name>ProgressForm</name>
    <message>
        <source>Cancel</source>
        <translation>Cancel</translation>
    </message>
</context>
<context>
    <name>LocalDbSelForm</name>
    <message>
        <source>选择要备份到哪个数据库</source>
        <translation>Select one Database for backup</translation>
    </message>
    <message>
        <source>选择或输入新的数据库名称:</source>
        <translation>Select current database to merge or enter a new database name:</translation>
    </message>
    <message>
        <source>选择现有的数据库会将短信息附加到里面,输入新的名字会创建新的本地数据库.</source>
        <translation>Selecting current Database will merge messages;entering new DB name will create a new Database.</translation>
    </message>
    <message>
        <source>确定</source>
        <translation>Confirm</translation>
    </message>
    <message>
        <source>取消</source>
        <translation>Cancel</translation>
    </message>
</context>
<context>
    <name>ExportSMSThread</name>
    <message>
        <source>Messages: %1/%2</source>
        <translation>SMS: %1/%2</translation>
    </message>
</context>
<context>
    <name>AndroidWIFIForm</name>
    <message>
        <source>在Android手机上运行Quillmarten SMS Sync并点击连接按钮获取Wifi连接信息，然后将连接信息输入到下面的文本框中。</source>
        <translation>Run Quillmarten SMS Sync on Android phone and click Connection button to get the Wifi connection info. Now input the info to the following Text Box. </translation>
    </message>
    <message>
        <source> 连接</source>
        <translation>Connect</translation>
    </message>
    <message>
        <source>取消</source>
        <translation>Cancel</translation>
    </message>
    <message>
        <source>通过Wifi连接Android设备</source>
        <translation>Connect Android via WiFi</translation>
    </message>
    <message>
        <source>如果您还没有在Android手机上安装Quillmarten SMS Sync，请在Android手机上打开电子市场(Google Play)搜索Quillmarten SMS Sync，下载并安装。</source>
        <translation>If you haven&apos;t installed Quillmarten SMS Sync on Android phone, please go to the Market (Google Play) on your Android to search Quillmarten SMS Sync to download and install. </translation>
    </message>
</context>
<context>
    <name>DataSourceSelForm</name>
    <message>
        <source>确定</source>
        <translation>Confirm</translation>
    </message>
    <message>
        <source>取消</source>
        <translation>Cancel</translation>
    </message>
</context>
<context>
    <name>CountrySelForm</name>
    <message>
        <source>OK</source>
        <translation>OK</translation>
    </message>
</context>
<context>
    <name>LoadItunesBackupDlg</name>
    <message>
        <source>Load</source>
        <translation>Load</translation>
    </message>
    <message>
        <source>Cancel</source>
        <translation>Cancel</translation>
    </message>
</context>
<context>
    <name>PasscodeDlg</name>
    <message>
        <source>OK</source>
        <translation>OK</translation>
    </message>
    <message>
        <source>Cancel</source>
        <translation>Cancel</translation>
    </message>
</context>
<context>
    <name>AboutUsForm</name>
    <message>
        <source>关于</source>
        <translation>About</translation>
    </message>
    <message>
        <source>OK</source>
        <translation>OK</translation>
    </message>
</context>
<context>
    <name>MainWindow</name>
    <message>
        <source>Conversations</source>
        <translation>Conversations</translation>
    </message>
    <message>
        <source>Messages: %1</source>
        <translation>SMS: %1</translation>
    </message>
    <message>
        <source>Messages: 0</source>
        <translation>SMS: 0</translation>
    </message>
</context>
</TS>
