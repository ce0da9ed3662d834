rem Завершает (logoff) только отключенные сеансы сервера терминалов: состояние "Диск" (в английской Windows "Disc").
rem Метку Dz_s в квадратных скобках консоль заменяет на адрес сервера.
rem На Linux нет PowerShell: этот файл написан на языке командных файлов консоли,
rem его выполняет командой call одноименный .cmd из папки Script.
rem Строка query user: пользователь, сеанс, ID, состояние. У сеанса без имени ID - второе поле, состояние - третье.
for /f "skip=1 tokens=3,4" %%i in ('query user /server [Dz_s]') do if /i "%%j"=="Диск" logoff %%i /server [Dz_s]
for /f "skip=1 tokens=3,4" %%i in ('query user /server [Dz_s]') do if /i "%%j"=="Disc" logoff %%i /server [Dz_s]
for /f "skip=1 tokens=2,3" %%i in ('query user /server [Dz_s]') do if /i "%%j"=="Диск" logoff %%i /server [Dz_s]
for /f "skip=1 tokens=2,3" %%i in ('query user /server [Dz_s]') do if /i "%%j"=="Disc" logoff %%i /server [Dz_s]
