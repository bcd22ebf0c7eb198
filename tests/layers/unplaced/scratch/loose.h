// A folder that belongs to no layer.
#pragma once
