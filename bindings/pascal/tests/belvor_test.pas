{ The Pascal unit against the real libbelvor.so, with ptys standing in for scanners.
  Needs BELVOR_LIBRARY and BELVOR_SYSTEM_DIR (ctest sets both). }
program belvor_test;

{$MODE DELPHI}

uses
  cthreads, SysUtils, dynlibs, Process, Belvor;

type
  { Codes as the scanners' OnCode saw them, one string each. }
  TReceived = class
    Lock: TMultiReadExclusiveWriteSynchronizer;
    Codes: array of string;
    constructor Create;
    procedure Add(Sender: TBelvorScanner; const Code: RawByteString);
    function Wait(Count: Integer): string;
  end;

var
  Failed: Integer = 0;

procedure Check(Ok: Boolean; const What: string);
begin
  if Ok then
    WriteLn('ok: ', What)
  else
  begin
    WriteLn('FAILED: ', What);
    Inc(Failed);
  end;
end;

constructor TReceived.Create;
begin
  Lock := TMultiReadExclusiveWriteSynchronizer.Create;
end;

procedure TReceived.Add(Sender: TBelvorScanner; const Code: RawByteString);
begin
  Lock.BeginWrite;
  SetLength(Codes, Length(Codes) + 1);
  Codes[High(Codes)] := Format('%d:%s', [Sender.Port, Code]);
  Lock.EndWrite;
end;

{ The codes joined by '|' once Count have come (or after ten seconds). }
function TReceived.Wait(Count: Integer): string;
var
  I, Tries: Integer;
begin
  for Tries := 1 to 1000 do
  begin
    Lock.BeginRead;
    I := Length(Codes);
    Lock.EndRead;
    if I >= Count then
      Break;
    Sleep(10);
  end;
  Lock.BeginRead;
  Result := '';
  for I := 0 to High(Codes) do
  begin
    if I > 0 then
      Result := Result + '|';
    Result := Result + Codes[I];
  end;
  Lock.EndRead;
end;

{ A pty linked as COM<Port>, made by the simulated scanner (tools/scanner-sim.py --stdin):
  what is sent arrives as if scanned. }
function FakeScanner(Port: Integer): TProcess;
var
  Ready: string;
  C: Char;
begin
  Result := TProcess.Create(nil);
  Result.Executable := GetEnvironmentVariable('BELVOR_PYTHON3');
  Result.Parameters.AddStrings([GetEnvironmentVariable('BELVOR_SCANNER_SIM'), '--stdin', '--port', IntToStr(Port),
    '--dir', GetEnvironmentVariable('BELVOR_SYSTEM_DIR')]);
  Result.Options := [poUsePipes];
  Result.Execute;
  Ready := '';
  while (Result.Output.Read(C, 1) = 1) and (C <> #10) do
    Ready := Ready + C;
  if Pos(Format('scanner-sim: COM%d is ', [Port]), Ready) <> 1 then
    raise Exception.Create('no pty: ' + Ready);
end;

procedure Send(Line: TProcess; const Data: AnsiString);
begin
  if Data <> '' then
    Line.Input.WriteBuffer(Data[1], Length(Data));
end;

{ The cable pulled: the pty closed and its link gone. }
procedure Unplug(Line: TProcess);
begin
  Line.CloseInput;
  Line.WaitOnExit;
  Line.Free;
end;

procedure ExpectError(Port, Code: Integer; const Message: string);
begin
  try
    TBelvorScanner.Create(Port, nil).Free;
    Check(False, Format('COM%d fails', [Port]));
  except
    on E: EOSError do
      Check((E.ErrorCode = Code) and (Pos(Message, E.Message) > 0),
        Format('COM%d: EOSError %d "%s"', [Port, E.ErrorCode, E.Message]));
  end;
end;

type
  TRawInitDriver = function(Port: UInt32; Callback: Pointer): Int32; cdecl;
  TRawDestroyDriver = function: Int32; cdecl;

{ Another user of the library in this process creates a driver behind the unit's back. }
procedure AnotherUser;
var
  Lib: TLibHandle;
  RawInit: TRawInitDriver;
  RawDestroy: TRawDestroyDriver;
  Alone: TBelvorScanner;
begin
  Lib := LoadLibrary(GetEnvironmentVariable('BELVOR_LIBRARY'));
  RawInit := TRawInitDriver(GetProcAddress(Lib, 'InitDriver'));
  RawDestroy := TRawDestroyDriver(GetProcAddress(Lib, 'DestroyDriver'));
  Check(RawInit(65, nil) = 0, 'another user''s driver 0');
  try
    TBelvorScanner.Create(68, nil).Free;
    Check(False, 'a scanner whose driver is not the one expected raises');
  except
    on E: EBelvorError do
      Check(Pos('Driver 1 created, 0 expected', E.Message) > 0, 'index checked: ' + E.Message);
  end;
  Check(RawDestroy() = 0, 'the unit destroyed its own driver, not the other user''s');
  Alone := TBelvorScanner.Create(65, nil);
  Check(Alone.Index = 0, 'and it keeps no trace of the refused scanner');
  Alone.Free;
  UnloadLibrary(Lib);
end;

type
  { Each code with the index its scanner had when the code came. }
  TIndexed = class
    Seen: string;
    procedure Add(Sender: TBelvorScanner; const Code: RawByteString);
  end;

procedure TIndexed.Add(Sender: TBelvorScanner; const Code: RawByteString);
begin
  Seen := Seen + Format('%d:%s|', [Sender.Index, Code]);
end;

{ The status events and codes in one line, as they came. }
type
  TTimeline = class(TReceived)
    procedure AddStatus(Sender: TBelvorScanner; Status: Integer; Detail: UInt32);
  end;

procedure TTimeline.AddStatus(Sender: TBelvorScanner; Status: Integer; Detail: UInt32);
begin
  Add(Sender, RawByteString(Format('status %d %d', [Status, Detail])));
end;

{ A code cut by the port's own MaxLength, the line hung up and back: the statuses come
  in order with the codes, and the statistics add up. }
procedure StatusAndStats;
var
  Ini: string;
  F: Text;
  Line: TProcess;
  Got: TTimeline;
  Scanner: TBelvorScanner;
  S: TBelvorStats;
begin
  Check((SizeOf(TBelvorStats) = 152) and (PtrUInt(@S.CodesUnidentified) - PtrUInt(@S) = 144) and
    (PtrUInt(@S.QueueLength) - PtrUInt(@S) = 112) and
    (PtrUInt(@S.ReaderStalls) - PtrUInt(@S) = 128) and (PtrUInt(@S.MsSinceRound) - PtrUInt(@S) = 140),
    'TBelvorStats is BelvorStats');
  Ini := GetEnvironmentVariable('BELVOR_SYSTEM_DIR') + '/Belvor.ini';
  AssignFile(F, Ini);
  Rewrite(F);
  System.Write(F, '[COM65]'#13#10'MaxLength=4'#13#10);
  CloseFile(F);
  Line := FakeScanner(65);
  Got := TTimeline.Create;
  Scanner := TBelvorScanner.Create(65, Got.Add, Got.AddStatus);
  Check(Scanner.Stats.MsSinceCode = -1, 'no code yet');
  Send(Line, '123456'#13'12'#13);
  Check(Got.Wait(3) = '65:status 4 6|65:1234|65:12', 'the cut comes just before its code: ' + Got.Wait(3));
  Unplug(Line);
  Check(Got.Wait(4) = '65:status 4 6|65:1234|65:12|65:status 1 5', 'lost, with EIO: ' + Got.Wait(4));
  S := Scanner.Stats;
  Check((S.State = BelvorPortLost) and (S.LastError = 5) and (S.Losses = 1), 'stats while lost');
  Line := FakeScanner(65);
  Check(Pos('|65:status 2 0', Got.Wait(5)) > 0, 'back: ' + Got.Wait(5));
  S := Scanner.Stats;
  Check((S.Size = 152) and (S.CodesUnidentified = 0) and (S.ReaderStalled = 0) and (S.MsSinceRound < 5000) and
    (S.Port = 65) and (S.State = BelvorPortOpen) and (S.CodesDelivered = 2) and (S.CodesCut = 1) and
    (S.BytesReceived = 10) and (S.Returns = 1) and (S.MsSinceCode >= 0), 'the stats add up');
  Scanner.Free;
  Unplug(Line);
  DeleteFile(Ini);
end;

const
  DataMatrix = ']d2' + '0109501101530003' + '17250100' + '10ABC' + #29 + '21XYZ';

function Describe(const Scan: TBelvorScan): string;
var
  I: Integer;
begin
  Result := Format('%d %s [%d] %s %s (', [Scan.Driver, Scan.Aim, Scan.Symbology, Scan.Text, Scan.Data]);
  for I := 0 to High(Scan.Fields) do
    Result := Result + Format('%s%s=%s', [Copy(' ', 1, Ord(I > 0)), Scan.Fields[I].Ai, Scan.Fields[I].Value]);
  Result := Result + ') (';
  for I := 0 to High(Scan.Errors) do
    Result := Result + Format('%s%s:%d@%d', [Copy(' ', 1, Ord(I > 0)), Scan.Errors[I].Ai, Scan.Errors[I].Kind,
      Scan.Errors[I].Position]);
  Result := Result + ')';
end;

{ GS1's dates: DD 00 the month's end, leap years, the century within -49..+50 years of today's. }
procedure Gs1Dates;
const
  Cases: array[0..19] of record
    Value: string;
    Year: Word;
    Expected: string;
  end = (
    (Value: '250131'; Year: 2026; Expected: '2025-01-31'),
    (Value: '250100'; Year: 2026; Expected: '2025-01-31'),
    (Value: '250400'; Year: 2026; Expected: '2025-04-30'),
    (Value: '250200'; Year: 2026; Expected: '2025-02-28'),
    (Value: '240200'; Year: 2026; Expected: '2024-02-29'),
    (Value: '240229'; Year: 2026; Expected: '2024-02-29'),
    (Value: '250229'; Year: 2026; Expected: 'none'),
    (Value: '000200'; Year: 2026; Expected: '2000-02-29'),
    (Value: '000200'; Year: 2060; Expected: '2100-02-28'),
    (Value: '000229'; Year: 2060; Expected: 'none'),
    (Value: '760101'; Year: 2026; Expected: '2076-01-01'),
    (Value: '770101'; Year: 2026; Expected: '1977-01-01'),
    (Value: '260101'; Year: 2075; Expected: '2026-01-01'),
    (Value: '250101'; Year: 2075; Expected: '2125-01-01'),
    (Value: '250431'; Year: 2026; Expected: 'none'),
    (Value: '250001'; Year: 2026; Expected: 'none'),
    (Value: '251301'; Year: 2026; Expected: 'none'),
    (Value: '25013'; Year: 2026; Expected: 'none'),
    (Value: '25O131'; Year: 2026; Expected: 'none'),
    (Value: '2501311'; Year: 2026; Expected: 'none'));
var
  I: Integer;
  When: TDateTime;
  Got: string;
begin
  for I := 0 to High(Cases) do
  begin
    if BelvorGs1Date(Cases[I].Value, EncodeDate(Cases[I].Year, 6, 15), When) then
      Got := FormatDateTime('yyyy-mm-dd', When)
    else
      Got := 'none';
    Check(Got = Cases[I].Expected, Format('GS1 date %s in %d: %s', [Cases[I].Value, Cases[I].Year, Got]));
  end;
end;

{ BelvorParseScan on codes got elsewhere: what each is, its fields, and what is wrong with them. }
procedure ParseScans;
const
  Cases: array[0..4] of record
    Code: string;
    Aim: Boolean;
    Expected: string;
  end = (
    (Code: DataMatrix; Aim: True;
     Expected: '-1 ]d2 [208] ' + '0109501101530003172501001' + '0ABC'#29'21XYZ ' + DataMatrix +
       ' (01=09501101530003 17=250100 10=ABC 21=XYZ) ()'),
    (Code: ']E04006381333931'; Aim: True;
     Expected: '-1 ]E0 [104] 4006381333931 ]E04006381333931 (01=04006381333931) ()'),
    (Code: '4006381333931'; Aim: True; Expected: '-1  [0] 4006381333931 4006381333931 () ()'),
    (Code: DataMatrix; Aim: False; Expected: '-1  [0] ' + DataMatrix + ' ' + DataMatrix + ' () ()'),
    (Code: ']d2' + '17250230' + '0109501101530004'; Aim: True;
     Expected: '-1 ]d2 [208] 172502300109501101530004 ]d2172502300109501101530004 ' +
       '(17=250230 01=09501101530004) (17:6@2 01:5@23)'));
var
  I: Integer;
  Scan: TBelvorScan;
  When: TDateTime;
begin
  for I := 0 to High(Cases) do
  begin
    Scan := BelvorParseScan(Cases[I].Code, Cases[I].Aim);
    Check(Describe(Scan) = Cases[I].Expected, 'BelvorParseScan: ' + Describe(Scan));
  end;
  Scan := BelvorParseScan(DataMatrix);
  Check((Scan.Gtin = '09501101530003') and Scan.Expiry(When) and (When = EncodeDate(2025, 1, 31)) and
    (Scan.Batch = 'ABC') and (Scan.Serial = 'XYZ') and not Scan.BestBefore(When) and
    (Scan.Flags = BelvorScanIdentified or BelvorScanGs1), 'the typed fields of a GS1 DataMatrix');
  Scan := BelvorParseScan('4006381333931');
  Check((Scan.Gtin = '') and not Scan.Expiry(When) and (Scan.Flags = 0), 'none for a plain code');
  { A kind the library numbers past the first seven, by the unit's name for it. }
  Scan := BelvorParseScan(']d2422999');
  Check((Length(Scan.Errors) = 1) and (Scan.Errors[0].Kind = BelvorGs1BadCountry) and
    (BelvorGs1BadUri = 14), 'a country code that is none is BelvorGs1BadCountry');
  try
    BelvorParseScan(StringOfChar('1', 8193));
    Check(False, 'a code over 8192 bytes is refused');
  except
    on E: EBelvorError do
      Check(True, 'a code over 8192 bytes is refused: ' + E.Message);
  end;
end;

type
  { Each scan, described, beside the codes OnCode got. }
  TScans = class(TReceived)
    Scans: array of TBelvorScan;
    procedure AddScan(Sender: TBelvorScanner; const Scan: TBelvorScan);
  end;

procedure TScans.AddScan(Sender: TBelvorScanner; const Scan: TBelvorScan);
begin
  Lock.BeginWrite;
  SetLength(Scans, Length(Scans) + 1);
  Scans[High(Scans)] := Scan;
  Lock.EndWrite;
  Add(Sender, Describe(Scan));
end;

{ Through the scan callback on a line set to read identifiers: each scan to its scanner,
  OnCode still with the bytes as received, and a scanner without OnScan as before. }
procedure Scans;
var
  Ini: string;
  F: Text;
  A, B: TProcess;
  Plain: TReceived;
  Got: TScans;
  Scanner, Other: TBelvorScanner;
  When: TDateTime;
begin
  Ini := GetEnvironmentVariable('BELVOR_SYSTEM_DIR') + '/Belvor.ini';
  AssignFile(F, Ini);
  Rewrite(F);
  System.Write(F, '[COM65]'#13#10'SymbologyId=Aim'#13#10'AllowCodes=29, 32-126'#13#10);
  CloseFile(F);
  A := FakeScanner(65);
  B := FakeScanner(68);
  Plain := TReceived.Create;
  Got := TScans.Create;
  Scanner := TBelvorScanner.CreateForScans(65, Got.AddScan);
  Other := TBelvorScanner.Create(68, Plain.Add);
  Send(A, DataMatrix + #13 + '4006381333931'#13);
  Send(B, '12ab'#13);
  Check(Plain.Wait(1) = '68:12', 'a scanner without OnScan gets its codes: ' + Plain.Wait(1));
  Check(Got.Wait(2) = '65:0 ]d2 [208] ' + Copy(DataMatrix, 4, MaxInt) + ' ' + DataMatrix +
    ' (01=09501101530003 17=250100 10=ABC 21=XYZ) ()|65:0  [0] 4006381333931 4006381333931 () ()',
    'scans, each with what it is: ' + Got.Wait(2));
  Check((Length(Got.Scans) = 2) and Got.Scans[0].Expiry(When) and (When = EncodeDate(2025, 1, 31)),
    'the scan''s expiry');
  Check(Scanner.Stats.CodesUnidentified = 1, 'the code without an identifier counted');
  Other.OnScan := Got.AddScan;
  Send(B, '12ab'#13);
  Check((Plain.Wait(2) = '68:12|68:12') and (Pos('|68:1  [0] 12 12 () ()', Got.Wait(3)) > 0),
    'OnScan set later, beside OnCode: ' + Got.Wait(3));
  Other.Free;
  Scanner.Free;
  Unplug(A);
  Unplug(B);
  DeleteFile(Ini);
end;

{ With the stand-in library, whose InitDriver sends a code before it returns. }
procedure EarlyCode;
type
  TSwaps = function: Int32; cdecl;
var
  Indexed: TIndexed;
  First, Second, Third: TBelvorScanner;
  Swaps: TSwaps;
begin
  Indexed := TIndexed.Create;
  First := TBelvorScanner.Create(1, Indexed.Add);
  Second := TBelvorScanner.Create(2, Indexed.Add);
  Check(Indexed.Seen = '0:early|1:early|', 'a code before InitDriver returns names its scanner''s index: ' +
    Indexed.Seen);
  { SetCodeProc waits for callbacks under way: called again only when BelvorTagged changes. }
  Swaps := TSwaps(GetProcAddress(LoadLibrary(GetEnvironmentVariable('BELVOR_LIBRARY')), 'CodeProcSwaps'));
  Check(Swaps() = 1, 'two scanners, one SetCodeProc: ' + IntToStr(Swaps()));
  BelvorTagged := False;
  Third := TBelvorScanner.Create(3, Indexed.Add);
  Check(Swaps() = 2, 'BelvorTagged changed, one more SetCodeProc: ' + IntToStr(Swaps()));
  BelvorTagged := True;
  Third.Free;
  Second.Free;
  First.Free;
  Indexed.Free;
end;

var
  A, B: TProcess;
  Got: TReceived;
  Older, Newer: TBelvorScanner;
begin
  if ParamStr(1) = 'early-code' then
  begin
    EarlyCode;
    Halt(Ord(Failed > 0));
  end;
  ExpectError(0, 22, 'Invalid argument');
  ExpectError(250, 2, 'No such file or directory'); { no com250 link, no /dev/ttyS249 }

  A := FakeScanner(65);
  B := FakeScanner(68);
  Got := TReceived.Create;
  Older := TBelvorScanner.Create(65, Got.Add);
  Newer := TBelvorScanner.Create(68, Got.Add);
  Check((Older.Index = 0) and (Newer.Index = 1), 'drivers 0 and 1');
  Send(A, '4006381333931'#13);
  Check(Got.Wait(1) = '65:4006381333931', 'a code: ' + Got.Wait(1));
  Send(B, '12ab34CD'#13#13);
  Check(Got.Wait(3) = '65:4006381333931|68:1234CD|68:', 'each scanner''s codes, the empty one too: ' + Got.Wait(3));

  try
    Older.Close;
    Check(False, 'closing the older scanner first raises');
  except
    on E: EBelvorError do
      Check(Pos('not the newest', E.Message) > 0, 'out of order: ' + E.Message);
  end;
  Send(A, 'AB'#13);
  Check(Got.Wait(4) = '65:4006381333931|68:1234CD|68:|65:AB', 'the older scanner still reads');
  Newer.Free;
  Older.Free;
  { The counted string, read as the ShortString it is. }
  BelvorTagged := False;
  Older := TBelvorScanner.Create(65, Got.Add);
  Check(Older.Index = 0, 'both drivers destroyed: the next is driver 0 again');
  Send(A, 'ABCDEF0123456789ABCDEF0123456789'#13);
  Check(Got.Wait(5) = '65:4006381333931|68:1234CD|68:|65:AB|65:ABCDEF0123456789ABCDEF0123456789',
    'a code through the EventProc');
  Older.Free;
  AnotherUser;
  BelvorTagged := True;
  StatusAndStats;
  Gs1Dates;
  ParseScans;
  Scans;

  Unplug(A);
  Unplug(B);
  if Failed = 0 then
    WriteLn('all passed')
  else
    WriteLn(Failed, ' failed');
  Halt(Ord(Failed > 0));
end.
