// Camera model, projection and PnP.
#pragma once
