#include "ui/appnotifications.h"

AppNotifications &AppNotifications::instance()
{
    static AppNotifications *center = new AppNotifications(nullptr); // lives for the process
    return *center;
}
