// Controls of the main window that Qt has no exact counterpart for, a file each.
#pragma once

#include "app/checklistbox.h"
#include "app/listview.h"
#include "app/pictures.h"
#include "app/stateballcolumn.h"
#include "app/statusbar.h"
#include "app/stopallkey.h"
