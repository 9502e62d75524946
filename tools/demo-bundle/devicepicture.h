#ifndef DEVICEPICTURE_H
#define DEVICEPICTURE_H

#include <QImage>
#include <QString>

// A stylised picture of a device board for the demo, drawn from the profile
// identifier alone, with a caption that says it is a demo picture.
QImage drawDevicePicture(const QString &profile);

#endif // DEVICEPICTURE_H
