// velmorin-icon SOURCE.svg OUTPUT SIZE [SIZE...]
// Renders the program's SVG icon: into a PNG of one size, or into a Windows
// .ico that holds one image per size.

#include <QBuffer>
#include <QCoreApplication>
#include <QFile>
#include <QImage>
#include <QPainter>
#include <QSvgRenderer>

#include <cstdio>

using namespace Qt::StringLiterals;

namespace {

QImage render(QSvgRenderer &renderer, int size)
{
    QImage image(size, size, QImage::Format_ARGB32_Premultiplied);
    image.fill(Qt::transparent);
    QPainter painter(&image);
    painter.setRenderHint(QPainter::Antialiasing);
    renderer.render(&painter, QRectF(0, 0, size, size));
    return image;
}

QByteArray png(const QImage &image)
{
    QByteArray bytes;
    QBuffer buffer(&bytes);
    buffer.open(QIODevice::WriteOnly);
    image.save(&buffer, "PNG");
    return bytes;
}

void appendLittleEndian(QByteArray &bytes, quint32 value, int size)
{
    for (int byte = 0; byte < size; ++byte)
        bytes.append(char(value >> (8 * byte)));
}

// An icon directory with PNG-compressed images, which Windows reads at
// every size since Vista. (Qt's own ICO writer stores one image per file.)
QByteArray ico(const QList<QByteArray> &pngs, const QList<int> &sizes)
{
    QByteArray header;
    appendLittleEndian(header, 0, 2); // reserved
    appendLittleEndian(header, 1, 2); // an icon, not a cursor
    appendLittleEndian(header, quint32(pngs.size()), 2);
    QByteArray images;
    quint32 offset = 6 + 16 * quint32(pngs.size());
    for (int index = 0; index < pngs.size(); ++index) {
        const int size = sizes.at(index);
        header.append(char(size >= 256 ? 0 : size)); // 0 stands for 256
        header.append(char(size >= 256 ? 0 : size));
        header.append(char(0)); // no palette
        header.append(char(0));
        appendLittleEndian(header, 1, 2); // colour planes
        appendLittleEndian(header, 32, 2); // bits per pixel
        appendLittleEndian(header, quint32(pngs.at(index).size()), 4);
        appendLittleEndian(header, offset, 4);
        offset += quint32(pngs.at(index).size());
        images += pngs.at(index);
    }
    return header + images;
}

int fail(const QString &message)
{
    std::fprintf(stderr, "velmorin-icon: %s\n", qPrintable(message));
    return 1;
}

} // namespace

int main(int argc, char *argv[])
{
    QCoreApplication app(argc, argv);
    QStringList arguments = QCoreApplication::arguments().mid(1);
    if (arguments.size() < 3)
        return fail(u"usage: velmorin-icon SOURCE.svg OUTPUT.png|OUTPUT.ico SIZE [SIZE...]"_s);
    const QString source = arguments.takeFirst();
    const QString output = arguments.takeFirst();
    const bool windowsIcon = output.endsWith(u".ico"_s);
    if (!windowsIcon && arguments.size() != 1)
        return fail(u"a PNG has one size"_s);
    QList<int> sizes;
    for (const QString &argument : std::as_const(arguments)) {
        bool ok = false;
        const int size = argument.toInt(&ok);
        // An icon directory entry has one byte for the size (0 for 256).
        if (!ok || size < 1 || size > (windowsIcon ? 256 : 1024))
            return fail(u"not a size for %1: %2"_s.arg(output, argument));
        sizes.append(size);
    }

    QSvgRenderer renderer(source);
    if (!renderer.isValid())
        return fail(u"cannot read %1"_s.arg(source));
    QList<QByteArray> pngs;
    for (int size : std::as_const(sizes))
        pngs.append(png(render(renderer, size)));

    QFile file(output);
    const QByteArray content = windowsIcon ? ico(pngs, sizes) : pngs.first();
    if (!file.open(QIODevice::WriteOnly) || file.write(content) != content.size())
        return fail(u"cannot write %1: %2"_s.arg(output, file.errorString()));
    return 0;
}
