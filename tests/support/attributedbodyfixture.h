#pragma once
// attributedBody values as later iPhones write them: an NSAttributedString
// archived with NSArchiver (a little-endian "streamtyped" typedstream), the
// string object followed by one attribute run holding the message part
// attribute, as Messages stores it.
#include <QByteArray>
#include <QMetaType>
#include <QString>

namespace testsupport {

enum class AttributedBodyClasses {
    Mutable,   // NSMutableAttributedString over NSMutableString: what later phones write
    Immutable, // NSAttributedString over NSString: what older systems wrote
};

QByteArray attributedBodyArchive(const QString &text,
                                 AttributedBodyClasses classes = AttributedBodyClasses::Mutable);

// Where the string object of attributedBodyArchive(text, classes) ends: the
// offset just past its end-of-object byte. The archive is whole up to there
// for a reader that needs only the words.
int attributedBodyStringEnd(const QString &text,
                            AttributedBodyClasses classes = AttributedBodyClasses::Mutable);

} // namespace testsupport

// Tests take the layouts as data columns.
Q_DECLARE_METATYPE(testsupport::AttributedBodyClasses)
