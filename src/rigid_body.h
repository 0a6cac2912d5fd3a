// Rigid bodies of markers.
#pragma once
