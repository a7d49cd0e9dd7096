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
        <source>IDS_CONFIRM_DEL_THIS_LOCALDB</source>
        <translation>Confirm to delete this Database?</translation>
    </message>
    <message>
        <source>IDS_DEL_LOCALDB_SUC</source>
        <translation>Successfully Deleted Database %0.</translation>
    </message>
    <message>
        <source>IDS_SUC_CLEAR_CACHE</source>
        <translation>Successfully cleared cache files.</translation>
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
    <name>MainWindow</name>
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
