#include "common/apt_task.h"

void registerAptTaskMetaType()
{
    qRegisterMetaType<Apt_Task>("Apt_Task");
    qRegisterMetaType<Apt_Task>("Apt_Task&");
}
