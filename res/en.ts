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
</context>
<context>
    <name>ProgressForm</name>
    <message>
        <source>Cancel</source>
        <translation>Cancel</translation>
    </message>
</context>
</TS>
